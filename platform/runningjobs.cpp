#include "platform/runningjobs.h"

#include <signal.h>
#include <unistd.h>

#include <vector>

#include "core/threadsafety.h"
#include "platform/clock.h"

namespace {

// How long EndRunningChildren waits for the killed children to be
// collected by the threads that wait for them.
const int kEndWaitMs = 2000;
const int kEndPollMs = 5;

// The register. Allocated once and never destroyed: session threads may
// still use it while the process exits.
struct TRegister {
    TMutex jobs_mutex;
    bool ended TEV_GUARDED_BY(jobs_mutex) = false;
    int slots TEV_GUARDED_BY(jobs_mutex) = 0;
    std::vector<pid_t> pids TEV_GUARDED_BY(jobs_mutex);
    std::vector<String> files TEV_GUARDED_BY(jobs_mutex);
};

TRegister& Reg() {
    static TRegister* reg = new TRegister;
    return *reg;
}

// Kills the process group led by pid (pid alone when the group cannot be
// signalled).
void KillGroup(pid_t pid) {
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
}

int SlotsTaken() {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    return r.slots;
}

}  // namespace

TJobSlot::TJobSlot() {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    open = !r.ended;
    if (open) r.slots++;
}

TJobSlot::~TJobSlot() {
    if (!open) return;
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    r.slots--;
    for (size_t i = 0; pid > 0 && i < r.pids.size(); i++)
        if (r.pids[i] == pid) {
            r.pids[i] = r.pids.back();
            r.pids.pop_back();
            break;
        }
}

bool TJobSlot::SetPid(pid_t child) {
    TRegister& r = Reg();
    {
        TLock lock(r.jobs_mutex);
        if (!r.ended) {
            pid = child;
            r.pids.push_back(child);
            return true;
        }
    }
    KillGroup(child);
    return false;
}

bool AddTempFile(const String& Path) {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    if (r.ended) return false;
    r.files.push_back(Path);
    return true;
}

void RemoveTempFile(const String& Path) {
    const String path = ZeroTerminated(Path);
    unlink(path.Data());
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    for (size_t i = 0; i < r.files.size(); i++)
        if (r.files[i] == Path) {
            r.files[i] = r.files.back();
            r.files.pop_back();
            break;
        }
}

int EndRunningChildren() {
    TRegister& r = Reg();
    std::vector<pid_t> pids;
    {
        TLock lock(r.jobs_mutex);
        r.ended = true;
        pids = r.pids;
    }
    for (pid_t pid : pids) KillGroup(pid);
    // A thread between its slot and its start sees the end at SetPid and
    // kills its child itself; each gives its slot back once the child is
    // collected (or left to the reaper).
    const long long deadline = NowMs() + kEndWaitMs;
    while (SlotsTaken() > 0 && NowMs() < deadline) SleepMs(kEndPollMs);
    std::vector<String> files;
    {
        TLock lock(r.jobs_mutex);
        files.swap(r.files);
    }
    for (const String& f : files) {
        const String path = ZeroTerminated(f);
        unlink(path.Data());
    }
    return int(pids.size());
}

void ReopenRunningWork() {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    r.ended = false;
}

int RunningChildren() {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    return int(r.pids.size());
}

int RunningTempFiles() {
    TRegister& r = Reg();
    TLock lock(r.jobs_mutex);
    return int(r.files.size());
}
