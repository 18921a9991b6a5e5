#include "platform/processstart.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/zostring.h"
#include "platform/clock.h"

extern char** environ;

namespace {

// Descriptors below this number are the child's own (0 to 3); descriptors
// handed in with such numbers are first copied above them, so that putting
// one into place cannot overwrite another that is still to be copied.
const int kFirstFreeFd = kPlannedFds;
// Attempts to start a program file that another thread's child still holds
// open for writing (ETXTBSY) for the moment of its own start.
const int kBusyRetries = 8;

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

// One start of argv by plan along the PATH list of argv[0]. A program file
// that another thread's child still holds open for writing (ETXTBSY) is
// tried again after a pause. Returns 0 or the error number of the failed
// start; file is the path whose exec ended the search (empty: none did).
int SpawnOnce(TStartPlan& plan, char* const* argv, pid_t& pid, int& pidfd, String& file) {
    const TProgramPaths paths(argv[0]);
    plan.Paths = paths.List();
    plan.Argv = argv;
    int rc = 0;
    int failed = -1;
    for (int attempt = 0, pause = 1;; attempt++, pause *= 2) {
        rc = StartPlannedChild(plan, pid, pidfd, &failed);
        if (rc != ETXTBSY || attempt >= kBusyRetries) break;
        SleepMs(pause);
    }
    file = failed >= 0 ? String(plan.Paths[failed]) : String();
    plan.Paths = nullptr;
    return rc;
}

// Starts argv by plan. The file the search found but the system cannot
// execute (no "#!" line) is run by /bin/sh, as execvp does. Returns 0 or the
// error number.
int Spawn(TStartPlan& plan, char* const* argv, pid_t& pid, int& pidfd) {
    String file;
    const int rc = SpawnOnce(plan, argv, pid, pidfd, file);
    if (rc != ENOEXEC || file.Length() == 0) return rc;
    file.SetZero();
    int n = 0;
    while (argv[n] != nullptr) n++;
    char sh[] = "/bin/sh";
    std::vector<char*> shArgv(size_t(n) + 2, nullptr);
    shArgv[0] = sh;
    shArgv[1] = file.Data();
    for (int i = 1; i < n; i++) shArgv[size_t(i) + 1] = argv[i];
    String shFile;
    return SpawnOnce(plan, shArgv.data(), pid, pidfd, shFile);
}

}  // namespace

int OpenWorkDir(const char* WorkDir, int& Err) {
    Err = 0;
    if (WorkDir == nullptr || WorkDir[0] == '\0') return -1;
    // O_PATH: entering needs the search right only, not the read right.
    const int fd = open(WorkDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        Err = errno;
        return -1;
    }
    if (faccessat(AT_FDCWD, WorkDir, X_OK, AT_EACCESS) != 0) {
        Err = errno;
        close(fd);
        return -1;
    }
    return fd;
}

int StartProgram(char* const* Argv, int DirFd, const int (&Fds)[kPlannedFds], const char* TmpDir,
                 pid_t& Pid, int& PidFd) {
    const TChildEnv env(TmpDir);
    TStartPlan plan;
    plan.Envp = env.Block();
    plan.DirFd = DirFd;
    plan.ResetSignals = NonDefaultSignals();
    TLiftedFds lifted;
    // A descriptor that cannot be lifted reads as "/dev/null".
    for (int n = 0; n < kPlannedFds; n++) plan.Source[n] = lifted.Lift(Fds[n]);
    return Spawn(plan, Argv, Pid, PidFd);
}

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
