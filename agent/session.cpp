#include "agent/session.h"

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "agent/console.h"
#include "agent/dispatch.h"
#include "agent/runflags.h"
#include "config/agentstatus.h"
#include "config/settings.h"
#include "protocol/tev_const.h"

namespace {

const int kChunk = 1024;
// A reply that the peer does not take within this time is abandoned.
const int kSendLimitMs = 30000;
// An upgrade transfer whose peer stays silent longer than the `timeout`
// setting is abandoned (and its slot freed); this limit applies when the
// setting asks for none.
const int kTransferIdleMs = 300000;
// Stack of a session thread: sessions are shallow, and thousands may run.
const size_t kSessionStack = 1024 * 1024;

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Sends all of data, however many send calls it takes, within kSendLimitMs.
void SendAll(int fd, const String& data) {
    const long long deadline = NowMs() + kSendLimitMs;
    int sent = 0;
    while (sent < data.Length()) {
        const ssize_t n =
            send(fd, data.Data() + sent, size_t(data.Length() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        const long long left = deadline - NowMs();
        if (left <= 0) return;
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, int(left)) < 0 && errno != EINTR) return;
    }
}

class Session {
  public:
    explicit Session(const ThreadParams& p) : params(p), lastReceive(std::time(nullptr)) {}
    void Run();
    void Close();

  private:
    int WaitMs() const;
    bool IdleExpired() const;
    // Each returns false when the session is over.
    bool OnChunk(const char* data, int n);
    bool OnRequestBytes(const char* data, int n);
    bool OnTransferBytes(const char* data, int n);
    void AnswerRequest();

    ThreadParams params;
    QVRequest request;
    TEVReply reply;
    UpgradeRec upgrade;
    String upgradeError;
    time_t lastReceive;
    bool wholePacket = false;
    long long lastTransferMs = 0;
};

// The longest silence allowed between chunks of an upgrade transfer.
int TransferIdleMs() {
    const int timeout = Settings()->timeout;
    return timeout >= 1 ? timeout : kTransferIdleMs;
}

// How long to wait for the next chunk: until the idle limit would expire
// (it counts whole seconds from the last receive), or -1 for no limit.
int Session::WaitMs() const {
    if (upgrade.active) {
        const long long left = lastTransferMs + TransferIdleMs() - NowMs();
        return left < 1 ? 1 : int(left);
    }
    const int timeout = Settings()->timeout;
    if (wholePacket || timeout < 1) return -1;
    const long long expiryMs = ((long long)lastReceive + timeout / 1000 + 1) * 1000;
    const long long left = expiryMs - NowMs();
    return left < 1 ? 1 : int(left > 3600000 ? 3600000 : left);
}

bool Session::IdleExpired() const {
    if (upgrade.active) return NowMs() - lastTransferMs >= TransferIdleMs();
    const int timeout = Settings()->timeout;
    return !wholePacket && timeout >= 1 && (timeout / 1000) + lastReceive < std::time(nullptr);
}

void Session::Run() {
    char buf[kChunk];
    // The request usually follows the connection at once: try to read it
    // before paying for a wait.
    const ssize_t first = recv(params.socket, buf, sizeof buf, MSG_DONTWAIT);
    if (first == 0) return;
    if (first > 0 && !OnChunk(buf, int(first))) return;
    for (;;) {
        struct pollfd p = {params.socket, POLLIN, 0};
        const int ready = poll(&p, 1, WaitMs());
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            if (IdleExpired()) return;
            continue;
        }
        const ssize_t n = recv(params.socket, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (!OnChunk(buf, int(n))) return;
    }
}

bool Session::OnChunk(const char* data, int n) {
    if (upgrade.active) return OnTransferBytes(data, n);
    return OnRequestBytes(data, n);
}

bool Session::OnRequestBytes(const char* data, int n) {
    lastReceive = std::time(nullptr);
    request.AddData(data, n);
    // Refuse an oversized packet as soon as its length field is in, before
    // buffering what it announces.
    if (request.Length() >= 4 &&
        4ull + DecodeLength(request.Data(), 4) > (unsigned long long)MAX_REQUEST_PACKET) {
        showmessage("<-- Invalid QV request received\n", params.address, mtInfo, 0);
        return false;
    }
    if (!request.WholePacket()) return true;
    wholePacket = true;
    if (!request.ParseInitRequest(Settings()->password, params.address)) {
        showmessage("<-- Invalid QV request received\n", params.address, mtInfo, 0);
        return false;
    }
    showmessage("<-- Correct QV request received\n", params.address, mtInfo, 0);
    AnswerRequest();
    if (!upgrade.active) return false;
    lastTransferMs = NowMs();
    return true;
}

void Session::AnswerRequest() {
    reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
    const int recognised = ProcessQVRequest(request, reply, TEVFlags, params, upgrade);
    char code[4] = {0, 0, 0, 0};
    if (reply.Length() > 2)
        for (int i = 0; i < 3; i++) code[i] = reply[i + 1];
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                params.address, mtInfo, 1, code);
    reply.FinalizePacket();
    SendAll(params.socket, reply);
}

bool Session::OnTransferBytes(const char* data, int n) {
    lastTransferMs = NowMs();
    DoUpgrading(upgrade, data, n, upgradeError);
    if (upgrade.active) return true;
    if (upgradeError.Length()) {
        reply.SetResult("300");
        reply += upgradeError;
    } else {
        reply.SetResult("200");
    }
    reply.FinalizePacket();
    SendAll(params.socket, reply);
    return false;
}

void Session::Close() {
    AbandonUpgrade(upgrade);  // a transfer cut short frees the slot
    showmessage("Session closed, wait for next ..\n", NoPeer(), mtInfo, 0);
    shutdown(params.socket, SHUT_RDWR);
    close(params.socket);
    // The main thread runs the update script this session prepared once its
    // reply is out and its connection closed.
    if (upgrade.handedOver) TEVFlags.upgrade = 1;
}

}  // namespace

namespace {

// Session threads that have finished wait a while for the next connection
// instead of ending, so a busy agent does not pay for a new thread (stack,
// page faults, scheduler set-up) on every request. There is still one
// thread per connection being served and no limit on their number; only the
// number of idle threads kept is bounded. Each idle thread waits on a
// semaphore of its own, so a hand-over wakes exactly one thread once.
struct IdleThread {
    sem_t ready;                     // posted when params has been set
    ThreadParams* params = nullptr;  // the connection handed over
};

std::mutex session_pool_mutex;
std::vector<IdleThread*> idleThreads;  // session_pool_mutex; last in, first out
const size_t kMaxIdleThreads = 32;
const int kIdleThreadSeconds = 30;

// Waits for a connection handed to this idle thread; null when none came in
// time or enough threads are idle already.
ThreadParams* NextSession(IdleThread& self) {
    {
        std::lock_guard<std::mutex> lock(session_pool_mutex);
        if (idleThreads.size() >= kMaxIdleThreads) return nullptr;
        self.params = nullptr;
        idleThreads.push_back(&self);
    }
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kIdleThreadSeconds;
    while (sem_timedwait(&self.ready, &deadline) != 0) {
        if (errno == EINTR) continue;
        {
            std::lock_guard<std::mutex> lock(session_pool_mutex);
            for (size_t i = 0; i < idleThreads.size(); i++) {
                if (idleThreads[i] != &self) continue;
                idleThreads.erase(idleThreads.begin() + long(i));
                return nullptr;
            }
        }
        // Taken off the list just now: the hand-over is on its way.
        while (sem_wait(&self.ready) != 0) {
        }
        break;
    }
    return self.params;
}

// Hands params to an idle thread; false when every thread is busy.
bool HandToIdleThread(ThreadParams* params) {
    IdleThread* idle = nullptr;
    {
        std::lock_guard<std::mutex> lock(session_pool_mutex);
        if (idleThreads.empty()) return false;
        idle = idleThreads.back();
        idleThreads.pop_back();
    }
    idle->params = params;
    sem_post(&idle->ready);
    return true;
}

void* SessionThread(void* arg) {
    IdleThread self;
    sem_init(&self.ready, 0, 0);
    for (ThreadParams* params = static_cast<ThreadParams*>(arg); params; params = NextSession(self))
        ClientExecute(params);
    sem_destroy(&self.ready);
    return nullptr;
}

}  // namespace

void* ClientExecute(void* arg) {
    ThreadParams* block = static_cast<ThreadParams*>(arg);
    const ThreadParams params = *block;
    delete block;
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
    {
        Session session(params);
        session.Run();
        session.Close();
    }
    AgentStatus.ActiveConnections--;
    return nullptr;
}

int StartSession(ThreadParams* params) {
    if (HandToIdleThread(params)) return 0;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kSessionStack);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, SessionThread, params);
    pthread_attr_destroy(&attr);
    return rc;
}

void ExitNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}
