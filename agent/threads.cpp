#include "agent/threads.h"

#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "agent/console.h"
#include "agent/signals.h"
#include "core/threadsafety.h"
#include "platform/syserror.h"

namespace {

// Stack of a session thread: sessions are shallow, and thousands may run.
const size_t kSessionStack = 1024 * 1024;
// Threads kept ready to accept. A ready thread serves the connection it
// took as long as that needs no wait, then takes the next one, so a busy
// agent works through its queue of connections without a wake-up or a
// hand-over per connection. One: each more thread waiting in accept takes
// connections the moment they are made, before their requests follow, and
// then has to wait for them after all (measured: more CPU per request and
// longer tails at 8 and 64 connections at a time).
const int kReadyThreads = 1;
// Threads parked after a session that had to wait, at most; more end.
const size_t kMaxParked = 64;
// A parked thread that is not needed for this long ends.
const int kIdleThreadSeconds = 30;

// What the threads do, set before the first thread starts.
std::atomic<TWorkTurn> workTurn{nullptr};
std::atomic<TWorkWaiting> workWaiting{nullptr};

// Threads that accept and serve without waiting: the ready threads. A
// thread stops counting here before anything that may wait (MayBlock), and
// starts counting again after its session, when fewer than kReadyThreads
// are ready; otherwise it parks. A thread that stops while no other thread
// takes work makes others ready first.
std::atomic<int> ready{0};
thread_local bool readyThread = false;  // the calling thread counts in `ready`
// Ready threads looking for work: accepting, or waiting in epoll_wait.
std::atomic<int> takers{0};

// Parked threads: each waits on a semaphore of its own, so a hand-over
// wakes exactly one thread once.
struct Parked {
    sem_t wake;
};
TMutex pool_mutex;
std::vector<Parked*> parked TEV_GUARDED_BY(pool_mutex);  // last in, first out

void* PoolThread(void* arg);

// Makes one more thread ready: a parked one when there is one, otherwise a
// new one. Counted in `ready` at once, so that two threads that both saw
// none ready make two, not none. Returns 0 or the error number of the failed
// thread start.
int MakeReady() {
    ready++;
    Parked* idle = nullptr;
    {
        TLock lock(pool_mutex);
        if (!parked.empty()) {
            idle = parked.back();
            parked.pop_back();
        }
    }
    if (idle) {
        sem_post(&idle->wake);
        return 0;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kSessionStack);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, PoolThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) ready--;
    return rc;
}

void ReportThreadFailure(int rc) {
    String text = GetErrorStr(rc);
    text.SetZero();
    showmessage("Cannot start session thread: %s\n", NoPeer(), mtFailure, 1, text.Data());
}

// Waits until MakeReady hands this thread the duty to accept (true), or
// until it is not needed for kIdleThreadSeconds or enough threads are
// parked (false: the thread ends).
bool Park(Parked& self) {
    {
        TLock lock(pool_mutex);
        if (parked.size() >= kMaxParked) return false;
        parked.push_back(&self);
    }
    // On the monotonic clock: a step of the wall clock neither ends the
    // thread early nor keeps it for an hour.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kIdleThreadSeconds;
    while (sem_clockwait(&self.wake, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno == EINTR) continue;
        {
            TLock lock(pool_mutex);
            for (size_t i = 0; i < parked.size(); i++) {
                if (parked[i] != &self) continue;
                parked.erase(parked.begin() + long(i));
                return false;
            }
        }
        // Taken off the list just now: the hand-over is on its way.
        while (sem_wait(&self.wake) != 0) {
        }
        break;
    }
    return true;
}

// A ready thread above kReadyThreads stops being one.
void TrimReady() {
    int now = ready.load();
    while (now > kReadyThreads && !ready.compare_exchange_weak(now, now - 1)) {
    }
    if (now > kReadyThreads) readyThread = false;
}

// After a session that waited: ready again when fewer than kReadyThreads
// are, otherwise parked. False when the thread should end.
bool Rejoin(Parked& self) {
    int now = ready.load();
    while (now < kReadyThreads && !ready.compare_exchange_weak(now, now + 1)) {
    }
    return now < kReadyThreads || Park(self);
}

// Takes work in turns while it is a ready thread; after a turn that waited
// it rejoins or parks. Counted in `ready` by MakeReady.
void* PoolThread(void*) {
    void* altStack = InstallAltStack();
    Parked self;
    sem_init(&self.wake, 0, 0);
    readyThread = true;
    const TWorkTurn turn = workTurn.load();
    for (;;) {
        if (readyThread) TrimReady();
        if (!readyThread) {
            if (!Rejoin(self)) break;
            readyThread = true;
        }
        turn();
    }
    sem_destroy(&self.wake);
    RemoveAltStack(altStack);
    return nullptr;
}

}  // namespace

TLookingForWork::TLookingForWork() {
    takers++;
}

TLookingForWork::~TLookingForWork() {
    takers--;
}

void StartThreads(TWorkTurn turn, TWorkWaiting waiting) {
    workTurn = turn;
    workWaiting = waiting;
    while (ready.load() < kReadyThreads) {
        const int rc = MakeReady();
        if (rc == 0) continue;
        ReportThreadFailure(rc);
        break;
    }
}

void MayBlock() {
    if (!readyThread) return;
    readyThread = false;
    ready--;
    // Whoever still counts as ready may be busy; what matters is that some
    // thread takes work now. When none does, one is made ready, or two while
    // connections are waiting: when a crowd of connections that trickle
    // their requests arrives, each taker soon waits in its session, and the
    // takers double instead of following one another. Extra ready threads
    // park again (TrimReady).
    if (takers.load() > 0) return;
    const int wanted = workWaiting.load()() ? 2 : 1;
    for (int i = 0; i < wanted; i++) {
        const int rc = MakeReady();
        if (rc == 0) continue;
        ReportThreadFailure(rc);
        break;
    }
}

void KeepOneThreadReady() {
    // Reported once per run of failures, not at every check.
    static bool failing = false;  // main thread only
    if (ready.load() > 0) return;
    const int rc = MakeReady();
    if (rc != 0 && !failing) ReportThreadFailure(rc);
    failing = rc != 0;
}
