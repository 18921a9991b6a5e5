#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/childreaper.h"
#include "platform/clock.h"
#include "platform/requestscope.h"
#include "platform/runningjobs.h"
#include "platform/syserror.h"

const char kOutputCapText[] = "Output limit of 16 MiB exceeded";
const char kWorkDirErrorText[] = "cannot enter working folder: ";

namespace {

// How long a child started without waiting may take to report its end.
const int kNoWaitGraceMs = 1000;
// How long a killed child may take to end. One stuck in the kernel (a hung
// network mount) ends only when it leaves its wait; it is not waited for
// beyond this, so it holds no thread and no session meanwhile.
const int kKilledGraceMs = 1000;
// Longest pause between two looks at a child without a pid descriptor.
const int kBlindPollMaxMs = 10;

String ExecError(int err) {
    String text("exec error: ");
    text += GetErrorStr(err);
    return text;
}

// What a wait for a child watches besides its end: the peer of the request
// it runs for (gone: the child is no longer wanted), files it writes whose
// growth is capped, and the pipe its output is collected from (into sink,
// capped as well when capBytes is above 0).
struct TWatch {
    int peerFd = -1;
    int capFds[2] = {-1, -1};
    long long capBytes = 0;
    int pipeFd = -1;
    String* sink = nullptr;
};

// WaitUntil's results besides 1 (ended), 0 (deadline) and -1 (no wait).
const int kWaitPeerGone = 2;
const int kWaitOverCap = 3;
// How often the size of a capped file is looked at: a child that writes
// fast overshoots the cap by what it writes in this time, until it is
// killed and the file cut back.
const int kCapCheckMs = 10;

bool OverCap(const TWatch& watch) {
    if (watch.sink != nullptr) return watch.capBytes > 0 && watch.sink->Length() > watch.capBytes;
    for (int fd : watch.capFds) {
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > watch.capBytes) return true;
    }
    return false;
}

// Appends what the pipe fd (non-blocking) holds now to sink, stopping once
// sink is beyond cap (when above 0). Returns false when the pipe is at its
// end (no writer is left) or broken, so that it is not watched any more.
bool DrainPipe(int fd, String& sink, long long cap) {
    char buf[16384];
    for (;;) {
        if (cap > 0 && sink.Length() > cap) return true;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            sink.AddData(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN;
    }
}

// Waits for pid to end until deadline (monotonic milliseconds; -1: none),
// watching what watch names. Returns 1 with status when it ended, 0 when it
// still runs at the deadline, kWaitPeerGone or kWaitOverCap when the watch
// saw its event, -1 when it cannot be waited for.
int WaitUntil(pid_t pid, int pidfd, long long deadline, const TWatch& watch, int& status) {
    const bool capped = watch.capFds[0] >= 0 || watch.capFds[1] >= 0;
    int pipeFd = watch.sink != nullptr ? watch.pipeFd : -1;
    const bool blocking = deadline < 0 && pidfd < 0 && watch.peerFd < 0 && !capped && pipeFd < 0;
    int pause = 1;
    for (;;) {
        const pid_t r = waitpid(pid, &status, blocking ? 0 : WNOHANG);
        if (r == pid) return 1;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (capped && OverCap(watch)) return kWaitOverCap;
        long long left = -1;
        if (deadline >= 0) {
            left = deadline - NowMs();
            if (left <= 0) return 0;
            if (left > INT_MAX) left = INT_MAX;
        }
        // Without a pid descriptor the end of a child is no event: look
        // again after a pause that grows to kBlindPollMaxMs.
        if (pidfd < 0 && (left < 0 || left > pause)) left = pause;
        if (pidfd < 0 && pause < kBlindPollMaxMs) pause *= 2;
        if (capped && (left < 0 || left > kCapCheckMs)) left = kCapCheckMs;
        struct pollfd p[3];
        int n = 0;
        if (pidfd >= 0) p[n++] = {pidfd, POLLIN, 0};
        const int peerAt = watch.peerFd >= 0 ? n : -1;
        if (peerAt >= 0) p[n++] = {watch.peerFd, POLLRDHUP, 0};
        const int pipeAt = pipeFd >= 0 ? n : -1;
        if (pipeAt >= 0) p[n++] = {pipeFd, POLLIN, 0};
        const int rc = poll(p, nfds_t(n), int(left));
        if (rc > 0 && peerAt >= 0 && p[peerAt].revents != 0) return kWaitPeerGone;
        // A full pipe would stop the child: it is emptied as data comes.
        if (rc > 0 && pipeAt >= 0 && p[pipeAt].revents != 0) {
            if (!DrainPipe(pipeFd, *watch.sink, watch.capBytes)) pipeFd = -1;
            if (OverCap(watch)) return kWaitOverCap;
        }
    }
}

// Closes a descriptor (when not -1) at the end of the scope.
class TFdCloser {
  public:
    explicit TFdCloser(int owned) : fd(owned) {}
    ~TFdCloser() {
        if (fd >= 0) close(fd);
    }
    TFdCloser(const TFdCloser&) = delete;
    TFdCloser& operator=(const TFdCloser&) = delete;

  private:
    int fd;
};

// The pipe a child's output is collected through: both ends close-on-exec,
// the reading end non-blocking (the writing end, the child's, blocks).
class TOutputPipe {
  public:
    TOutputPipe() = default;
    TOutputPipe(const TOutputPipe&) = delete;
    TOutputPipe& operator=(const TOutputPipe&) = delete;
    ~TOutputPipe() {
        CloseWriter();
        if (ends[0] >= 0) close(ends[0]);
    }
    // False when no pipe could be made.
    bool Open() { return pipe2(ends, O_CLOEXEC) == 0 && fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0; }
    void CloseWriter() {
        if (ends[1] >= 0) close(ends[1]);
        ends[1] = -1;
    }
    int Reader() const { return ends[0]; }
    int Writer() const { return ends[1]; }

  private:
    int ends[2] = {-1, -1};
};

// The signal KillJob sends; another only in tests (SetJobEndSignal).
std::atomic<int> jobEndSignal{SIGKILL};

// Kills the child's process group (the child itself when the group cannot
// be signalled). Returns false when neither could be signalled.
bool KillJob(pid_t pid) {
    const int sig = jobEndSignal.load();
    return kill(-pid, sig) == 0 || kill(pid, sig) == 0;
}

}  // namespace

void SetJobEndSignal(int sig) {
    jobEndSignal = sig;
}

int RunProgram(char* const* Argv, const char* WorkDir, const TChildFds& Fds, int Timeout,
               int& ExitCode, String& Error) {
    Error = "";
    if (Argv == nullptr || Argv[0] == nullptr || Argv[0][0] == '\0') {
        Error = ExecError(ENOENT);
        return 0;
    }
    // Nothing is started for a request that has no time left: it would be
    // killed at once, and its answer is the budget's.
    if (RequestBudgetSpent()) {
        Error = kBudgetReachedText;
        return kRunTimedOut;
    }
    if (Timeout < -1) {
        Error = "abnormal termination";
        return kRunTimedOut;
    }
    int dirError = 0;
    const int dirFd = OpenWorkDir(WorkDir, dirError);
    if (dirError != 0) {
        Error = String(kWorkDirErrorText) + GetErrorStr(dirError);
        return 0;
    }
    TFdCloser dirCloser(dirFd);
    // Entered in the register of running work from before the start until
    // the wait is over, so that a stop or a restart ends the child; once the
    // agent is ending, nothing new is started.
    TJobSlot slot;
    if (!slot.Open()) {
        Error = "fork error";
        return 0;
    }
    const bool collect = Fds.Collect != nullptr && Timeout != -1;
    TChildFds fds = Fds;
    TOutputPipe out;
    if (collect) {
        if (!out.Open()) {
            Error = "fork error";
            return 0;
        }
        fds.Out = fds.Err = fds.Fd3 = out.Writer();
    }
    pid_t pid = -1;
    int pidfd = -1;
    const int handed[kPlannedFds] = {fds.In, fds.Out, fds.Err, fds.Fd3};
    const int rc = StartProgram(Argv, dirFd, handed, fds.TmpDir, pid, pidfd);
    // From here on only the child (and its group) writes: the pipe ends
    // with them.
    out.CloseWriter();
    if (rc != 0) {
        // A start that failed for want of processes or memory never reached
        // the program; anything else is the program's exec failing.
        Error = (rc == EAGAIN) ? String("fork error") : ExecError(rc);
        return 0;
    }
    if (pidfd < 0) pidfd = PidfdOpen(pid);
    slot.SetPid(pid);
    int status = 0;
    const TWatch none;
    if (Timeout == -1) {
        const int w = WaitUntil(pid, pidfd, NowMs() + kNoWaitGraceMs, none, status);
        if (w == 0) {
            ReapLater(pid, pidfd);
            ExitCode = 0;
            return 1;
        }
        if (pidfd >= 0) close(pidfd);
        ExitCode = (w == 1 && WIFEXITED(status)) ? WEXITSTATUS(status) : 0;
        return 1;
    }
    const long long deadline = Timeout == 0 ? -1 : NowMs() + (Timeout > 0 ? Timeout : 0);
    TWatch watch;
    watch.peerFd = RequestPeerFd();
    if (collect) {
        watch.pipeFd = out.Reader();
        watch.sink = Fds.Collect;
        watch.capBytes = Fds.OutCap;
    } else if (Fds.OutCap > 0) {
        watch.capFds[0] = Fds.Out;
        watch.capFds[1] = Fds.Err != Fds.Out ? Fds.Err : -1;
        watch.capBytes = Fds.OutCap;
    }
    int w = WaitUntil(pid, pidfd, deadline, watch, status);
    const int cut = w;  // 0, kWaitPeerGone or kWaitOverCap: the child is killed
    if (w == 0 || w == kWaitPeerGone || w == kWaitOverCap) {
        if (!KillJob(pid)) {
            ReapLater(pid, pidfd);
            Error = "cannot terminate process";
            return 0;
        }
        w = WaitUntil(pid, pidfd, NowMs() + kKilledGraceMs, none, status);
        if (w == 0) {
            // Killed but not ended yet: the reaper collects it when it does,
            // and the answer is the one the kill was for.
            ReapLater(pid, pidfd);
            pidfd = -1;
        }
    }
    if (pidfd >= 0) close(pidfd);
    // What the child wrote just before its end is still in the pipe.
    if (collect) DrainPipe(out.Reader(), *Fds.Collect, Fds.OutCap);
    // A child that wrote past the cap and ended between two looks is over
    // it all the same.
    if (cut == kWaitOverCap || (cut == 1 && Fds.OutCap > 0 && OverCap(watch))) {
        // Only the capped part is kept (what a child in the same group
        // wrote after the look is cut too).
        if (collect && Fds.Collect->Length() > Fds.OutCap) Fds.Collect->SetLength(int(Fds.OutCap));
        for (int fd : watch.capFds) {
            if (fd < 0) continue;
            const int ignored = ftruncate(fd, Fds.OutCap);
            (void)ignored;
        }
        Error = kOutputCapText;
        return kRunOverCap;
    }
    if (cut == kWaitPeerGone) {
        Error = kPeerGoneText;
        return kRunPeerGone;
    }
    if (w == 1 && WIFEXITED(status)) {
        ExitCode = WEXITSTATUS(status);
        return 1;
    }
    Error = "abnormal termination";
    return cut == 0 ? kRunTimedOut : 0;
}

int SystemEx2(const char* CommandLine, const char* WorkDir, const char* StdinFile,
              const char* StdoutFile, const char* StderrFile, int Timeout, int& ExitCode,
              String& Error, const char* TmpDir) {
    Error = "";
    TCommandArgs args;
    SplitCommandLine(CommandLine, args);
    // A redirection that cannot be opened falls back to "/dev/null": a
    // standard stream left closed would be taken by the program's next file.
    const int writeFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    TChildFds fds;
    fds.TmpDir = TmpDir;
    if (StdinFile != nullptr) fds.In = open(StdinFile, O_RDONLY | O_CLOEXEC);
    if (StdoutFile != nullptr) fds.Out = open(StdoutFile, writeFlags, 0666);
    // One file for both streams is opened once, so their output interleaves
    // instead of overwriting itself.
    const bool shared =
        StderrFile != nullptr && StdoutFile != nullptr && strcmp(StderrFile, StdoutFile) == 0;
    if (shared)
        fds.Err = fds.Out;
    else if (StderrFile != nullptr)
        fds.Err = open(StderrFile, writeFlags, 0666);
    // The files are ours: what a program may leave in them is capped.
    if (fds.Out >= 0 || fds.Err >= 0) fds.OutCap = kChildOutputCap;
    const int rc = RunProgram(args.Argv, WorkDir, fds, Timeout, ExitCode, Error);
    if (fds.In >= 0) close(fds.In);
    if (fds.Out >= 0) close(fds.Out);
    if (fds.Err >= 0 && !shared) close(fds.Err);
    return rc == 1 ? 1 : 0;
}

int SystemEx(const char* CommandLine, const char* WorkDir, int Timeout, int& ExitCode,
             String& Error, const char* TmpDir) {
    return SystemEx2(CommandLine, WorkDir, nullptr, nullptr, nullptr, Timeout, ExitCode, Error,
                     TmpDir);
}
