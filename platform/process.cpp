#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/childreaper.h"
#include "platform/childstart.h"
#include "platform/clock.h"
#include "platform/requestscope.h"
#include "platform/runningjobs.h"
#include "platform/syserror.h"

extern char** environ;

const char kOutputCapText[] = "Output limit of 16 MiB exceeded";

namespace {

// Descriptors below this number are the child's own (0 to 3); descriptors
// handed in with such numbers are first copied above them, so that putting
// one into place cannot overwrite another that is still to be copied.
const int kFirstFreeFd = kPlannedFds;
// How long a child started without waiting may take to report its end.
const int kNoWaitGraceMs = 1000;
// How long a killed child may take to end. One stuck in the kernel (a hung
// network mount) ends only when it leaves its wait; it is not waited for
// beyond this, so it holds no thread and no session meanwhile.
const int kKilledGraceMs = 1000;
// Longest pause between two looks at a child without a pid descriptor.
const int kBlindPollMaxMs = 10;
// Attempts to start a program file that another thread's child still holds
// open for writing (ETXTBSY) for the moment of its own start.
const int kBusyRetries = 8;

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

// Copies of handed-in descriptors that would collide with the child's own
// numbers; closed when the start is over.
class TLiftedFds {
  public:
    TLiftedFds() = default;
    TLiftedFds(const TLiftedFds&) = delete;
    TLiftedFds& operator=(const TLiftedFds&) = delete;
    ~TLiftedFds() {
        for (int i = 0; i < count; i++) close(fds[i]);
    }
    // fd itself, or a close-on-exec copy above the child's numbers; -1 for
    // -1 or when no copy could be made.
    int Lift(int fd) {
        if (fd < 0 || fd >= kFirstFreeFd) return fd;
        for (int i = 0; i < count; i++)
            if (from[i] == fd) return fds[i];
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeFd);
        if (copy < 0) return -1;
        from[count] = fd;
        fds[count++] = copy;
        return copy;
    }

  private:
    int from[4] = {-1, -1, -1, -1};
    int fds[4] = {-1, -1, -1, -1};
    int count = 0;
};

// A descriptor of WorkDir to change into, or -1 when none is given or it
// cannot be used (the child then stays in the caller's directory).
int OpenWorkDir(const char* WorkDir) {
    if (WorkDir == nullptr || WorkDir[0] == '\0') return -1;
    if (access(WorkDir, X_OK) != 0) return -1;
    return open(WorkDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The file execvp would run for name: name itself when it holds a '/',
// otherwise the first executable regular file of that name along PATH.
String FindProgram(const char* name) {
    if (strchr(name, '/') != nullptr) return String(name);
    const char* path = getenv("PATH");
    if (path == nullptr) path = "/bin:/usr/bin";
    for (const char* p = path;;) {
        const char* colon = strchr(p, ':');
        const int len = int(colon != nullptr ? size_t(colon - p) : strlen(p));
        String candidate = len > 0 ? String(p, len) : String(".");
        candidate += "/";
        candidate += name;
        candidate.SetZero();
        struct stat st;
        if (access(candidate.Data(), X_OK) == 0 && stat(candidate.Data(), &st) == 0 &&
            S_ISREG(st.st_mode))
            return candidate;
        if (colon == nullptr) return String();
        p = colon + 1;
    }
}

// The environment of one child: the agent's own, with TMPDIR replaced by
// tmpDir when that is given. Built before the spawn; the agent's
// environment is only read (nothing writes it once threads run).
class TChildEnv {
  public:
    explicit TChildEnv(const char* tmpDir) {
        if (tmpDir == nullptr) return;
        tmpEntry = String("TMPDIR=") + tmpDir;
        tmpEntry.SetZero();
        size_t count = 0;
        for (char** e = environ; e != nullptr && *e != nullptr; e++) count++;
        entries.reserve(count + 2);
        for (char** e = environ; e != nullptr && *e != nullptr; e++)
            if (strncmp(*e, "TMPDIR=", 7) != 0) entries.push_back(*e);
        entries.push_back(tmpEntry.Data());
        entries.push_back(nullptr);
    }
    char* const* Block() const { return entries.empty() ? environ : entries.data(); }

  private:
    String tmpEntry;
    std::vector<char*> entries;
};

// The files execvp would try for a program name, in order: the name itself
// when it holds a '/', otherwise the name in each directory of PATH (an
// empty entry: the working directory). Built before the start, so that the
// child only walks the list.
class TProgramPaths {
  public:
    explicit TProgramPaths(const char* name) {
        if (strchr(name, '/') != nullptr) {
            single[0] = name;
            return;
        }
        const char* path = getenv("PATH");
        if (path == nullptr) path = "/bin:/usr/bin";
        for (const char* p = path;;) {
            const char* colon = strchr(p, ':');
            const int len = int(colon != nullptr ? size_t(colon - p) : strlen(p));
            String file;
            if (len > 0) {
                file = String(p, len);
                file += "/";
            }
            file += name;
            file.SetZero();
            texts.push_back(file);
            if (colon == nullptr) break;
            p = colon + 1;
        }
        for (String& t : texts) list.push_back(t.Data());
        list.push_back(nullptr);
    }
    TProgramPaths(const TProgramPaths&) = delete;
    TProgramPaths& operator=(const TProgramPaths&) = delete;
    const char* const* List() const { return list.empty() ? single : list.data(); }

  private:
    const char* single[2] = {nullptr, nullptr};
    std::vector<String> texts;
    std::vector<const char*> list;
};

// One start of argv by plan. A program file that another thread's child
// still holds open for writing (ETXTBSY) is tried again after a pause.
// Returns 0 or the error number of the failed start.
int SpawnOnce(TStartPlan& plan, char* const* argv, pid_t& pid, int& pidfd) {
    const TProgramPaths paths(argv[0]);
    plan.Paths = paths.List();
    plan.Argv = argv;
    int rc = 0;
    for (int attempt = 0, pause = 1;; attempt++, pause *= 2) {
        rc = StartPlannedChild(plan, pid, pidfd);
        if (rc != ETXTBSY || attempt >= kBusyRetries) break;
        SleepMs(pause);
    }
    return rc;
}

// Starts argv by plan. A file the system cannot execute (no "#!" line) is
// run by /bin/sh, as execvp would. Returns 0 or the error number.
int Spawn(TStartPlan& plan, char* const* argv, pid_t& pid, int& pidfd) {
    int rc = SpawnOnce(plan, argv, pid, pidfd);
    if (rc != ENOEXEC) return rc;
    String file = FindProgram(argv[0]);
    if (file.Length() == 0) return rc;
    file.SetZero();
    int n = 0;
    while (argv[n] != nullptr) n++;
    char sh[] = "/bin/sh";
    std::vector<char*> shArgv(size_t(n) + 2, nullptr);
    shArgv[0] = sh;
    shArgv[1] = file.Data();
    for (int i = 1; i < n; i++) shArgv[size_t(i) + 1] = argv[i];
    return SpawnOnce(plan, shArgv.data(), pid, pidfd);
}

// Starts the child in its own session, with the signal dispositions and
// mask reset (signals the agent ignores, such as SIGPIPE, are back to their
// defaults), in WorkDir when usable, with the descriptors of fds. Returns 0
// with pid and pidfd (-1 when none came with the start), or the error
// number.
int StartChild(pid_t& pid, int& pidfd, char* const* argv, const char* WorkDir,
               const TChildFds& fds) {
    const int dirFd = OpenWorkDir(WorkDir);
    const TChildEnv env(fds.TmpDir);
    TStartPlan plan;
    plan.Envp = env.Block();
    plan.DirFd = dirFd;
    plan.ResetSignals = NonDefaultSignals();
    int rc;
    {
        TLiftedFds lifted;
        // A descriptor that cannot be lifted reads as "/dev/null".
        const int wanted[kPlannedFds] = {fds.In, fds.Out, fds.Err, fds.Fd3};
        for (int n = 0; n < kPlannedFds; n++) plan.Source[n] = lifted.Lift(wanted[n]);
        rc = Spawn(plan, argv, pid, pidfd);
    }
    if (dirFd >= 0) close(dirFd);
    return rc;
}

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

int SplitCommandLine(const char* CommandLine, TCommandArgs& Args) {
    Args.Argc = 0;
    int used = 0;
    const char* p = CommandLine != nullptr ? CommandLine : "";
    while (Args.Argc < kMaxCommandArgs) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\0') break;
        const char* start = p;
        const char* end;
        const char* next;
        if (*p == '\'' || *p == '"') {
            start = p + 1;
            end = strchr(start, *p);
            if (end == nullptr) end = start + strlen(start);
            next = *end ? end + 1 : end;
        } else {
            end = start + strcspn(start, " \t");
            next = *end ? end + 1 : end;
        }
        const size_t n = size_t(end - start);
        if (size_t(used) + n + 1 > sizeof Args.Buf) break;
        memcpy(Args.Buf + used, start, n);
        Args.Buf[size_t(used) + n] = '\0';
        Args.Argv[Args.Argc++] = Args.Buf + used;
        used += int(n) + 1;
        p = next;
    }
    Args.Argv[Args.Argc] = nullptr;
    return Args.Argc;
}

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
    const int rc = StartChild(pid, pidfd, Argv, WorkDir, fds);
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
