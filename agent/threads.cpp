#include "agent/threads.h"

#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
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

// A thread's stack, mapped by us rather than by the thread library, which
// keeps the stacks of ended threads for reuse (up to 40 MiB of them), each
// with its top pages still in memory: after a burst of 64 waiting requests
// that kept about 1 MiB for good. Ours are unmapped whole once the thread
// is gone. base is null when the library's own stack had to do.
struct TThreadStack {
    void* base = nullptr;
    size_t bytes = 0;
};

// The thread that ended last, not joined yet: each ending thread joins the
// one before it and unmaps that one's stack, so at most one ended thread
// is left over.
struct TEnded {
    pthread_t thread;
    TThreadStack stack;
};
TEnded lastEnded TEV_GUARDED_BY(pool_mutex);
bool anyEnded TEV_GUARDED_BY(pool_mutex) = false;
// The process is exiting: threads that end from now on detach themselves.
bool exiting TEV_GUARDED_BY(pool_mutex) = false;
thread_local TThreadStack ownStack;  // the calling pool thread's

// A mapping for a thread stack of kSessionStack bytes below a guard page,
// or an empty one when the mapping fails.
TThreadStack MapStack() {
    const size_t guard = size_t(sysconf(_SC_PAGESIZE));
    TThreadStack st;
    void* mem = mmap(nullptr, kSessionStack + guard, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) return st;
    if (mprotect(mem, guard, PROT_NONE) != 0) {
        munmap(mem, kSessionStack + guard);
        return st;
    }
    st.base = mem;
    st.bytes = kSessionStack + guard;
    return st;
}

// Starts a pool thread (joinable: see TEnded) on a stack of our own when
// one can be mapped. 0 or the error number of pthread_create.
int StartPoolThread() {
    TThreadStack* stack = new (std::nothrow) TThreadStack(MapStack());
    if (stack == nullptr) return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack->base != nullptr) {
        const size_t guard = stack->bytes - kSessionStack;
        pthread_attr_setstack(&attr, static_cast<char*>(stack->base) + guard, kSessionStack);
    } else {
        pthread_attr_setstacksize(&attr, kSessionStack);
    }
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, PoolThread, stack);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (stack->base != nullptr) munmap(stack->base, stack->bytes);
        delete stack;
    }
    return rc;
}

// The calling pool thread's last step: it becomes the ended thread left
// over, and joins and unmaps the one before it.
void RetireThisThread() {
    TEnded before;
    bool joinBefore = false;
    {
        TLock lock(pool_mutex);
        if (exiting) {
            pthread_detach(pthread_self());
            return;
        }
        before = lastEnded;
        joinBefore = anyEnded;
        lastEnded.thread = pthread_self();
        lastEnded.stack = ownStack;
        anyEnded = true;
    }
    if (!joinBefore) return;
    pthread_join(before.thread, nullptr);
    if (before.stack.base != nullptr) munmap(before.stack.base, before.stack.bytes);
}

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
    const int rc = StartPoolThread();
    if (rc != 0) ready--;
    return rc;
}

void ReportThreadFailure(int rc) {
    String text = GetErrorStr(rc);
    text.SetZero();
    showmessage("Cannot start session thread: %s\n", NoPeer(), mtFailure, 1, text.Data());
}

// The idle limit from now on the monotonic clock: a step of the wall
// clock neither ends a thread early nor keeps it for an hour.
struct timespec IdleDeadline() {
    const int ms = IdleThreadMs();
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// Waits until MakeReady hands this thread the duty to accept (true), or
// ends it (false): at once when kMaxParked threads are parked, or when it
// has been idle already (idle) and the spare threads are there; after the
// idle limit when it is not one of the first kSpareThreads parked. Those
// wait without a limit: the first threads parked are the last woken, so
// they stay the spares.
bool Park(Parked& self, bool idle) {
    bool spare = false;
    {
        TLock lock(pool_mutex);
        spare = parked.size() < size_t(kSpareThreads);
        if (!spare && (idle || parked.size() >= kMaxParked)) return false;
        parked.push_back(&self);
    }
    if (spare) {
        while (sem_wait(&self.wake) != 0) {
        }
        return true;
    }
    const struct timespec deadline = IdleDeadline();
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEV_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TEV_SANITIZED_HEAP 1
#endif
#endif

// Gives the free heap back to the system (malloc_trim). Not under a
// sanitizer: its allocator stands in for the library's, whose trim would
// then walk arenas that were never set up (a crash, seen under ASan).
void TrimHeap() {
#ifndef TEV_SANITIZED_HEAP
    malloc_trim(0);
#endif
}

// A ready thread above kReadyThreads stops being one.
void TrimReady() {
    int now = ready.load();
    while (now > kReadyThreads && !ready.compare_exchange_weak(now, now - 1)) {
    }
    if (now > kReadyThreads) readyThread = false;
}

// After a session that waited, or an idle wait for work (idle): ready
// again when fewer than kReadyThreads are, otherwise parked. False when the
// thread should end.
bool Rejoin(Parked& self, bool idle) {
    int now = ready.load();
    while (now < kReadyThreads && !ready.compare_exchange_weak(now, now + 1)) {
    }
    return now < kReadyThreads || Park(self, idle);
}

// Takes work in turns while it is a ready thread; after a turn that waited
// it rejoins or parks. Counted in `ready` by MakeReady.
void* PoolThread(void* arg) {
    TThreadStack* stack = static_cast<TThreadStack*>(arg);
    ownStack = *stack;
    delete stack;
    void* altStack = InstallAltStack();
    Parked self;
    sem_init(&self.wake, 0, 0);
    readyThread = true;
    const TWorkTurn turn = workTurn.load();
    bool idle = false;  // the last turn found no work
    for (;;) {
        if (readyThread) TrimReady();
        if (!readyThread) {
            if (!Rejoin(self, idle)) break;
            readyThread = true;
        }
        idle = !turn();
    }
    sem_destroy(&self.wake);
    RemoveAltStack(altStack);
    // A thread ends only after an idle while: give the heap that the burst
    // it served left free (its arena included) back to the system, so an
    // agent at rest again costs what it cost before the burst.
    TrimHeap();
    RetireThisThread();
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

int WorkWaitMs() {
    return ready.load() > kReadyThreads ? IdleThreadMs() : -1;
}

int IdleThreadMs() {
    static const int limit = [] {
        const char* text = getenv("TEV_IDLE_THREAD_MS");
        const long ms = text ? strtol(text, nullptr, 10) : 0;
        return ms >= 1 && ms <= kIdleThreadMs ? int(ms) : kIdleThreadMs;
    }();
    return limit;
}

void KeepOneThreadReady() {
    // Reported once per run of failures, not at every check.
    static bool failing = false;  // main thread only
    if (ready.load() > 0) return;
    const int rc = MakeReady();
    if (rc != 0 && !failing) ReportThreadFailure(rc);
    failing = rc != 0;
}

void JoinEndedThreads() {
    TEnded last;
    {
        TLock lock(pool_mutex);
        exiting = true;
        if (!anyEnded) return;
        last = lastEnded;
        anyEnded = false;
    }
    pthread_join(last.thread, nullptr);
    if (last.stack.base != nullptr) munmap(last.stack.base, last.stack.bytes);
}
