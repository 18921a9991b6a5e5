// Child processes: command-line splitting, start failures, exit codes, time
// limits, redirections, working directory, descriptors and reaping.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/childreaper.h"
#include "platform/clock.h"
#include "platform/requestscope.h"

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Children of this process that have ended and not been reaped.
int ZombieChildren() {
    int count = 0;
    DIR* d = opendir("/proc");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string stat = ReadText(std::string("/proc/") + e->d_name + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid() &&
            state == 'Z')
            count++;
    }
    closedir(d);
    return count;
}

// True when pid no longer runs (gone, or a zombie of another parent).
bool Gone(int pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 1, 3, " Z ") == 0;
}

class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_process_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string Path(const char* name) const { return dir + "/" + name; }
    std::string dir;
};

TEST(SplitCommandLine, Cases) {
    const std::string fits(1023, 'x'), tooLong(1024, 'y');
    std::string many;
    for (int i = 1; i <= 25; i++) many += std::to_string(i) + " ";
    std::vector<std::string> first23;
    for (int i = 1; i <= 23; i++) first23.push_back(std::to_string(i));
    struct Case {
        std::string line;
        std::vector<std::string> args;
    } cases[] = {
        {"sh -c 'echo a b'", {"sh", "-c", "echo a b"}},
        {"  a   b  ", {"a", "b"}},
        {"a\tb \t c", {"a", "b", "c"}},
        {"\"a b\"c d", {"a b", "c", "d"}},
        {"x \"y 'z' w\"", {"x", "y 'z' w"}},
        {"'unterminated text", {"unterminated text"}},
        {"a ''", {"a", ""}},
        {"a\\ b", {"a\\", "b"}},
        {"", {}},
        {"   ", {}},
        {many, first23},
        {fits, {fits}},
        {"a " + tooLong + " b", {"a"}},
        {std::string(600, 'p') + " " + std::string(600, 'q'), {std::string(600, 'p')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        TCommandArgs a;
        ASSERT_EQ(SplitCommandLine(c.line.c_str(), a), int(c.args.size()));
        for (size_t i = 0; i < c.args.size(); i++) EXPECT_EQ(a.Argv[i], c.args[i]);
        EXPECT_EQ(a.Argv[c.args.size()], nullptr);
    }
}

TEST_F(ProcessTest, ExitCodesAndStartFailures) {
    const std::string noSuch = "exec error: " + std::string(strerror(ENOENT));
    struct Case {
        const char* line;
        int rc;
        int exitCode;
        std::string error;
    } cases[] = {
        {"true", 1, 0, ""},
        {"false", 1, 1, ""},
        {"sh -c 'exit 255'", 1, 255, ""},
        {"sh -c 'exit 7'", 1, 7, ""},
        {"sh -c 'kill -9 $$'", 0, -5, "abnormal termination"},
        {"/nonexistent/program arg", 0, -5, noSuch},
        {"tev-no-such-program-on-path", 0, -5, noSuch},
        {"", 0, -5, noSuch},
        {"/dev/null", 0, -5, "exec error: " + std::string(strerror(EACCES))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        int exitCode = -5;
        String error("stale");
        EXPECT_EQ(SystemEx(c.line, nullptr, 10000, exitCode, error), c.rc);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_EQ(Std(error), c.error);
    }
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (readdir(d)) entries++;
    closedir(d);
    EXPECT_EQ(entries, 2) << "nothing but . and ..";
}

TEST_F(ProcessTest, ScriptWithoutInterpreterLineRunsThroughShell) {
    const std::string script = Path("plain");
    std::ofstream(script) << "exit 42\n";
    ASSERT_EQ(chmod(script.c_str(), 0700), 0);
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx((script + " x").c_str(), nullptr, 10000, exitCode, error), 1) << Std(error);
    EXPECT_EQ(exitCode, 42);
}

TEST_F(ProcessTest, PathSearchPassesOverFilesItCannotRun) {
    // As execvp: a name without '/' is tried in each PATH directory in turn;
    // one that cannot be executed there (mode, or a directory of that name)
    // is passed over, and when nothing runs the denial is the answer.
    const std::string noExec = Path("noexec"), isDir = Path("isdir"), runs = Path("runs");
    for (const std::string& d : {noExec, isDir, runs}) ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    std::ofstream(noExec + "/tevprog") << "#!/bin/sh\nexit 3\n";
    ASSERT_EQ(chmod((noExec + "/tevprog").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((isDir + "/tevprog").c_str(), 0700), 0);
    std::ofstream(runs + "/tevprog") << "#!/bin/sh\nexit 5\n";
    ASSERT_EQ(chmod((runs + "/tevprog").c_str(), 0700), 0);
    const std::string denied = "exec error: " + std::string(strerror(EACCES));
    struct Case {
        std::string path;
        int rc;
        int exitCode;
        std::string error;
    } cases[] = {
        {noExec + ":" + isDir + ":" + runs, 1, 5, ""},
        {Path("missing") + ":" + runs, 1, 5, ""},
        {noExec + ":" + isDir, 0, -1, denied},
        {Path("missing"), 0, -1, "exec error: " + std::string(strerror(ENOENT))},
    };
    const char* old = getenv("PATH");
    const std::string saved = old != nullptr ? old : "";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        setenv("PATH", c.path.c_str(), 1);
        int exitCode = -1;
        String error;
        const int rc = SystemEx("tevprog", nullptr, 10000, exitCode, error);
        setenv("PATH", saved.c_str(), 1);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_EQ(Std(error), c.error);
    }
}

TEST_F(ProcessTest, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    // The agent ignores SIGPIPE, catches others and blocks some in its
    // threads; none of that may reach a program it runs.
    struct sigaction ignore = {}, catcher = {}, oldPipe = {}, oldUsr1 = {};
    ignore.sa_handler = SIG_IGN;
    catcher.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    ASSERT_EQ(sigaction(SIGUSR1, &catcher, &oldUsr1), 0);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &oldMask), 0);
    const std::string out = Path("status.txt");
    const int outFd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    char cat[] = "cat", status[] = "/proc/self/status";
    char* argv[] = {cat, status, nullptr};
    TChildFds fds;
    fds.Out = outFd;
    int exitCode = -1;
    String error;
    const int rc = RunProgram(argv, nullptr, fds, 10000, exitCode, error);
    close(outFd);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGUSR1, &oldUsr1, nullptr);
    ASSERT_EQ(rc, 1) << Std(error);
    const std::string text = ReadText(out);
    for (const char* line : {"\nSigBlk:\t0000000000000000\n", "\nSigIgn:\t0000000000000000\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

TEST_F(ProcessTest, TimeLimitKillsTheWholeJob) {
    const std::string pidFile = Path("bg.pid");
    const std::string line = "sh -c 'sleep 60 & echo $! > " + pidFile + "; wait'";
    int exitCode = -1;
    String error;
    const long long start = NowMs();
    EXPECT_EQ(SystemEx(line.c_str(), nullptr, 300, exitCode, error), 0);
    EXPECT_LT(NowMs() - start, 10000);
    EXPECT_EQ(Std(error), "abnormal termination");
    EXPECT_EQ(exitCode, -1);
    const int bg = atoi(ReadText(pidFile).c_str());
    ASSERT_GT(bg, 0);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; i++) {
        gone = Gone(bg);
        if (!gone) usleep(20000);
    }
    EXPECT_TRUE(gone) << "the background sleep outlived its job";

    TChildFds none;
    char sleepCmd[] = "sleep", sleepArg[] = "60";
    char* argv[] = {sleepCmd, sleepArg, nullptr};
    EXPECT_EQ(RunProgram(argv, nullptr, none, 200, exitCode, error), kRunTimedOut);
    EXPECT_EQ(Std(error), "abnormal termination");
    EXPECT_EQ(RunProgram(argv, nullptr, none, -7, exitCode, error), kRunTimedOut);
}

// A killed child that does not end (stuck in the kernel, here one whose
// kill is not sent) holds the caller about a second, not for as long as it
// is stuck; the reaper takes it over and collects it once it ends.
TEST_F(ProcessTest, KilledChildThatDoesNotEndIsLeftToTheReaper) {
    struct TRestoreKill {
        ~TRestoreKill() { SetJobEndSignal(SIGKILL); }
    } restore;
    SetJobEndSignal(0);
    const std::string pidFile = Path("stuck.pid");
    const std::string line = "sh -c 'echo $$ > " + pidFile + "; exec sleep 60'";
    TCommandArgs args;
    SplitCommandLine(line.c_str(), args);
    TChildFds none;
    int exitCode = -1;
    String error;
    const int before = PendingReaps();
    EXPECT_EQ(RunProgram(args.Argv, nullptr, none, 300, exitCode, error), kRunTimedOut);
    EXPECT_EQ(Std(error), "abnormal termination");
    const int pid = atoi(ReadText(pidFile).c_str());
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(Gone(pid));
    EXPECT_EQ(PendingReaps(), before + 1);
    SetJobEndSignal(SIGKILL);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    while (PendingReaps() > before || ZombieChildren() > 0) usleep(10000);
    EXPECT_TRUE(Gone(pid));
}

// A request whose budget is spent starts nothing: its answer is the
// budget's, and the program never ran.
TEST_F(ProcessTest, SpentBudgetStartsNothing) {
    const std::string marker = Path("ran");
    const std::string line = "sh -c 'touch " + marker + "'";
    int exitCode = -1;
    String error;
    {
        TRequestScope scope(-1, 0);
        EXPECT_EQ(SystemEx(line.c_str(), nullptr, LimitOrBudgetMs(0), exitCode, error), 0);
        EXPECT_EQ(Std(error), kBudgetReachedText);
        TCommandArgs args;
        SplitCommandLine(line.c_str(), args);
        TChildFds none;
        for (const int limit : {0, -1, 5000}) {
            EXPECT_EQ(RunProgram(args.Argv, nullptr, none, limit, exitCode, error), kRunTimedOut);
            EXPECT_EQ(Std(error), kBudgetReachedText);
        }
    }
    // A limit that has passed already (below -1) starts nothing either.
    EXPECT_EQ(SystemEx(line.c_str(), nullptr, -7, exitCode, error), 0);
    EXPECT_EQ(Std(error), "abnormal termination");
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the program was started";
    // The same line with time left runs.
    EXPECT_EQ(SystemEx(line.c_str(), nullptr, 10000, exitCode, error), 1);
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

TEST_F(ProcessTest, NoLimitWaitsForTheEnd) {
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx("sh -c 'sleep 1; exit 9'", nullptr, 0, exitCode, error), 1);
    EXPECT_EQ(exitCode, 9);
}

TEST_F(ProcessTest, NoWaitReturnsEarlyExitOrLeavesTheChildRunning) {
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx("sh -c 'exit 3'", nullptr, -1, exitCode, error), 1);
    EXPECT_EQ(exitCode, 3);

    const std::string pidFile = Path("nowait.pid");
    const std::string line = "sh -c 'echo $$ > " + pidFile + "; sleep 3'";
    const long long start = NowMs();
    EXPECT_EQ(SystemEx(line.c_str(), nullptr, -1, exitCode, error), 1);
    EXPECT_LT(NowMs() - start, 2900);
    EXPECT_EQ(exitCode, 0);
    const int pid = atoi(ReadText(pidFile).c_str());
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(Gone(pid)) << "the child should still run";
    EXPECT_GE(PendingReaps(), 1);
    // It is reaped in the background when it ends.
    for (int i = 0; i < 300 && (PendingReaps() > 0 || ZombieChildren() > 0); i++) usleep(20000);
    EXPECT_EQ(PendingReaps(), 0);
    EXPECT_EQ(ZombieChildren(), 0);
}

TEST_F(ProcessTest, CollectedOutputThroughAPipe) {
    // Output collected from a pipe: all three streams, more than a pipe
    // holds, the cap, a child killed by a signal, and a background process
    // that keeps the pipe open after the child's end.
    struct Case {
        const char* script;
        long long cap;
        int rc;
        std::string output;
        const char* error;
    } cases[] = {
        {"printf 'a\\n'; printf 'b\\n' >&2; printf 'c\\n' >&3", 0, 1, "a\nb\nc\n", ""},
        {"head -c 300000 /dev/zero", kChildOutputCap, 1, std::string(300000, '\0'), ""},
        {"head -c 5000 /dev/zero", 4096, kRunOverCap, std::string(4096, '\0'), kOutputCapText},
        {"printf x; kill -9 $$", 0, 0, "x", "abnormal termination"},
        {"sleep 3 & echo done", 0, 1, "done\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        std::vector<char> script(c.script, c.script + strlen(c.script) + 1);
        char sh[] = "sh", dashC[] = "-c";
        char* argv[] = {sh, dashC, script.data(), nullptr};
        String output;
        TChildFds fds;
        fds.Collect = &output;
        fds.OutCap = c.cap;
        int exitCode = -1;
        String error;
        const long long start = NowMs();
        EXPECT_EQ(RunProgram(argv, nullptr, fds, 10000, exitCode, error), c.rc);
        EXPECT_LT(NowMs() - start, 2500) << "waited beyond the child's end";
        EXPECT_EQ(Std(output), c.output);
        EXPECT_EQ(Std(error), c.error);
    }
}

TEST_F(ProcessTest, RedirectionsAndWorkingDirectory) {
    const std::string in = Path("in.txt"), out = Path("out.txt"), err = Path("err.txt");
    std::ofstream(in) << "from stdin\n";
    std::ofstream(out) << "old content that must be truncated away\n";
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx2("sh -c 'cat; pwd; echo oops >&2'", dir.c_str(), in.c_str(), out.c_str(),
                        err.c_str(), 10000, exitCode, error),
              1);
    EXPECT_EQ(ReadText(out), "from stdin\n" + dir + "\n");
    EXPECT_EQ(ReadText(err), "oops\n");

    // One file for both streams keeps both.
    const std::string both = Path("both.txt");
    EXPECT_EQ(SystemEx2("sh -c 'echo one; echo two >&2; echo three'", nullptr, nullptr,
                        both.c_str(), both.c_str(), 10000, exitCode, error),
              1);
    EXPECT_EQ(ReadText(both), "one\ntwo\nthree\n");
    // A folder that cannot be entered runs nothing, not the program
    // elsewhere.
    EXPECT_EQ(SystemEx2("sh -c 'echo ran'", "/nonexistent/dir", nullptr, both.c_str(), nullptr,
                        10000, exitCode, error),
              0);
    EXPECT_EQ(Std(error), std::string("cannot enter working folder: ") + strerror(ENOENT));
    EXPECT_EQ(ReadText(both), "");

    // An input file that cannot be opened reads as empty.
    EXPECT_EQ(SystemEx2("sh -c 'cat; echo end'", nullptr, Path("missing").c_str(), out.c_str(),
                        nullptr, 10000, exitCode, error),
              1);
    EXPECT_EQ(ReadText(out), "end\n");
}

TEST_F(ProcessTest, ChildGetsNoDescriptorOfTheCaller) {
    const std::string out = Path("fds.txt");
    // One descriptor without close-on-exec on purpose, one with it.
    const int leaky = open("/dev/null", O_RDONLY);
    const int tidy = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(leaky, 0);
    ASSERT_GE(tidy, 0);
    const int outFd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd, 0);
    char sh[] = "sh", c[] = "-c", script[] = "ls /proc/$$/fd; true";
    char* argv[] = {sh, c, script, nullptr};
    int exitCode = -1;
    String error;
    struct Case {
        int fd3;
        const char* listing;
    } cases[] = {{-1, "0\n1\n2\n"}, {outFd, "0\n1\n2\n3\n"}};
    for (const Case& k : cases) {
        ASSERT_EQ(ftruncate(outFd, 0), 0);
        ASSERT_EQ(lseek(outFd, 0, SEEK_SET), 0);
        TChildFds fds;
        fds.Out = outFd;
        fds.Fd3 = k.fd3;
        EXPECT_EQ(RunProgram(argv, nullptr, fds, 10000, exitCode, error), 1) << Std(error);
        EXPECT_EQ(ReadText(out), k.listing);
    }
    close(leaky);
    close(tidy);
    close(outFd);
}

TEST_F(ProcessTest, LowDescriptorsAreHandedOverIntact) {
    // The caller's descriptors may carry the child's own numbers; each must
    // still arrive where it was asked for.
    const std::string a = Path("a.txt"), b = Path("b.txt");
    const int saved = dup(1);
    const int savedErr = dup(2);
    ASSERT_GE(saved, 0);
    close(1);
    close(2);
    const int fa = open(a.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);  // gets 1
    const int fb = open(b.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);  // gets 2
    char sh[] = "sh", c[] = "-c", script[] = "echo to-out; echo to-err >&2";
    char* argv[] = {sh, c, script, nullptr};
    TChildFds fds;
    fds.Out = fb;
    fds.Err = fa;
    int exitCode = -1;
    String error;
    const int rc = RunProgram(argv, nullptr, fds, 10000, exitCode, error);
    close(fa);
    close(fb);
    dup2(saved, 1);
    dup2(savedErr, 2);
    close(saved);
    close(savedErr);
    EXPECT_EQ(rc, 1) << Std(error);
    EXPECT_EQ(ReadText(b), "to-out\n");
    EXPECT_EQ(ReadText(a), "to-err\n");
}

TEST_F(ProcessTest, ConcurrentRunsOfFreshlyWrittenScripts) {
    // Each thread writes a script and runs it at once while the others start
    // children: a child started elsewhere may briefly hold the new file open
    // for writing, which must not make the start fail.
    const int kThreads = 6, kRounds = 12;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                const std::string path =
                    Path(("s" + std::to_string(t) + "-" + std::to_string(i)).c_str());
                const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
                const std::string text = "#!/bin/sh\nexit " + std::to_string(t + 10) + "\n";
                if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size())) {
                    failures++;
                    continue;
                }
                close(fd);
                std::vector<char> prog(path.begin(), path.end());
                prog.push_back('\0');
                char* argv[] = {prog.data(), nullptr};
                TChildFds fds;
                int exitCode = -1;
                String error;
                const int timeout = (i % 3 == 0) ? -1 : 10000;
                if (RunProgram(argv, nullptr, fds, timeout, exitCode, error) != 1 ||
                    (timeout != -1 && exitCode != t + 10)) {
                    ADD_FAILURE() << path << ": " << Std(error) << " exit " << exitCode;
                    failures++;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < 300 && PendingReaps() > 0; i++) usleep(20000);
    EXPECT_EQ(PendingReaps(), 0);
}

}  // namespace
