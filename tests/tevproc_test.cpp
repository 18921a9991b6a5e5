// The process tools (proccnt, cpuusage, proclist) against the shipped
// scripts they replace, on processes this test starts: names with blanks,
// tabs and line breaks, names the kernel cuts to 15 bytes, zombies.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "proctools_util.h"
#include "runstate_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;
using proctools_test::kTools;

const std::string kScripts = TEV_SOURCE_DIR "/etc/scripts/";

struct Output {
    int exitCode;
    std::string out;
};

// Runs prog with args (argv[0] = prog), standard output to outFile,
// standard error to /dev/null, and waits.
Output RunTo(const std::string& prog, const std::vector<std::string>& args,
             const std::string& outFile) {
    Output r{-1, ""};
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = agent_harness_detail::Spawn(prog, args, out, null);
    close(out);
    close(null);
    if (pid <= 0) return r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exitCode = agent_harness_detail::DecodeStatus(status);
    r.out = ReadWholeFile(outFile);
    return r;
}

// The start time (field 22 of stat) of pid; "" when it has ended. With the
// pid it tells one process from a later one that got the same pid.
std::string StartTime(const std::string& pid) {
    const std::string stat = ReadWholeFile("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(") ");
    if (close == std::string::npos) return "";
    std::istringstream in(stat.substr(close + 2));
    std::string f;
    for (int i = 1; i <= 20 && (in >> f); i++) {
    }
    return f;
}

// Start times of every process now, by pid.
std::map<std::string, std::string> StartTimes() {
    std::map<std::string, std::string> m;
    DIR* d = opendir("/proc");
    if (d == nullptr) return m;
    while (const dirent* e = readdir(d)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") == std::string::npos) m[pid] = StartTime(pid);
    }
    closedir(d);
    return m;
}

// "PID USER CPU RSS COMMAND" split into the pid, the user and the command,
// after checking the shape of each field.
struct ListLine {
    std::string pid, user, command, whole;
};

bool SplitLine(const std::string& line, ListLine& out) {
    std::string f[4];
    size_t at = 0;
    for (std::string& s : f) {
        const size_t blank = line.find(' ', at);
        if (blank == std::string::npos) return false;
        s = line.substr(at, blank - at);
        at = blank + 1;
    }
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    const size_t dot = f[2].find('.');
    if (!digits(f[0]) || f[1].empty() || dot == std::string::npos || dot + 2 != f[2].size() ||
        !digits(f[2].substr(0, dot)) || !digits(f[2].substr(dot + 1)) || !digits(f[3]) ||
        at >= line.size() || line.find_first_of("\t\r") != std::string::npos)
        return false;
    out = {f[0], f[1], line.substr(at), line};
    return true;
}

// The lines of a list in order; fails the test on a malformed line. With
// alive, a malformed line of a process not in it (one that did not live
// through the listing) is passed over: the script reads a process's files one by one and
// prints what it got when the process ends in between (another test's
// processes end at any time).
std::vector<ListLine> ParseList(const std::string& text,
                                const std::map<std::string, std::string>* alive = nullptr) {
    std::vector<ListLine> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        ListLine m;
        if (SplitLine(l, m)) {
            lines.push_back(m);
            continue;
        }
        if (alive != nullptr && alive->count(l.substr(0, l.find(' '))) == 0) continue;
        ADD_FAILURE() << "malformed line: " << l;
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    return lines;
}

// Processes of chosen names (copies of sleep running until the end, or of
// true left as zombies), in a directory of their own.
class TevProc : public ::testing::Test {
  protected:
    void StartSleeps(const std::string& name, int count, const std::string& argv0 = "") {
        ASSERT_FALSE(own.Sleepers(name, count, argv0).empty());
    }
    void StartZombies(const std::string& name, int count) { ASSERT_TRUE(own.Zombies(name, count)); }
    Output Tool(const std::string& name, const std::vector<std::string>& args) {
        return RunTo(kTools + name, args, out.path + "/tool.out");
    }
    Output Script(const std::string& name, const std::vector<std::string>& args) {
        return RunTo(kScripts + name, args, out.path + "/script.out");
    }

    runstate::TempDir dir, out;
    proctools_test::OwnProcesses own{dir.path};
    const std::vector<pid_t>& pids = own.pids;
};

TEST_F(TevProc, CountAnswersAsTheScript) {
    const std::string tag = agent_harness_detail::RandomHex(3);
    const std::string kept = "tvl" + tag + "-long-";  // 15 bytes
    ASSERT_EQ(kept.size(), 15u);
    StartSleeps("tevsl" + tag, 3);
    StartSleeps("tev b" + tag + " x", 2);              // blanks
    StartSleeps("tvb " + tag + " long name", 1);       // blanks, cut to 15
    StartSleeps(kept + "sleeper", 2);                  // cut to 15
    StartSleeps(kept + "other", 1);                    // same 15 bytes kept
    StartSleeps(kept + "sleeper", 1, "not-the-name");  // program named otherwise
    StartZombies("tevz" + tag, 2);
    StartZombies(kept + "zombie", 1);
    struct Case {
        std::string name;
        int count;
    } cases[] = {
        {"tevsl" + tag, 3},
        {"tev b" + tag + " x", 2},
        {"tvb " + tag + " long name", 1},
        {kept + "sleeper", 2},
        {kept + "other", 1},
        {kept, 5},             // the kept name itself: every process and zombie cut to it
        {kept + "zombie", 0},  // a zombie has no command line to tell its full name
        {"tevz" + tag, 2},
        {"tevsl" + tag.substr(0, 3), 0},  // a prefix is no match
        {"tevsl*", 0},                    // nor a pattern
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Output tool = Tool("proccnt", {c.name});
        EXPECT_EQ(tool.exitCode, 0);
        EXPECT_EQ(tool.out, std::to_string(c.count) + "\n");
        const Output script = Script("proccnt.sh", {c.name});
        EXPECT_EQ(script.out, tool.out);
    }
}

TEST_F(TevProc, WrongCallsAndTheMultiCallForms) {
    const std::string name = "tevmc" + agent_harness_detail::RandomHex(3);
    StartSleeps(name, 2);
    struct Case {
        std::string program;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
    } cases[] = {
        {"proccnt", {}, 2, ""},
        {"proccnt", {""}, 2, ""},
        {"proccnt", {name, name}, 2, ""},
        {"proccnt", {name}, 0, "2\n"},
        {"tevproc", {"proccnt", name}, 0, "2\n"},
        {"tevproc", {"proccnt"}, 2, ""},
        {"tevproc", {}, 2, ""},
        {"tevproc", {"proccnt.sh", name}, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program + " " + (c.args.empty() ? "" : c.args[0]));
        const Output r = Tool(c.program, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
    }
    const Output list = Tool("tevproc", {"proclist"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find(" " + dir.path + "/" + name + " 120\n"), std::string::npos);
}

TEST_F(TevProc, ListAnswersAsTheScript) {
    const std::string tag = agent_harness_detail::RandomHex(3);
    StartSleeps("tevls" + tag, 2);
    StartSleeps("tev l" + tag + " blank", 1);
    StartSleeps("tevls" + tag + "\nsecond\tline\r", 1);  // one line all the same
    StartZombies("tevlz" + tag, 1);
    const std::map<std::string, std::string> before = StartTimes();
    const Output script = Script("proclist.sh", {});
    const Output tool = Tool("proclist", {});
    const std::map<std::string, std::string> after = StartTimes();
    ASSERT_EQ(script.exitCode, 0);
    ASSERT_EQ(tool.exitCode, 0);
    // The processes that lived through both listings, as the same process.
    std::map<std::string, std::string> lasting;
    for (const auto& [pid, start] : before) {
        const auto a = after.find(pid);
        if (!start.empty() && a != after.end() && a->second == start) lasting.emplace(pid, start);
    }
    const std::vector<ListLine> theirs = ParseList(script.out, &lasting);
    const std::vector<ListLine> ours = ParseList(tool.out);

    std::map<std::string, const ListLine*> theirsByPid, oursByPid;
    for (const ListLine& l : theirs) theirsByPid[l.pid] = &l;
    for (const ListLine& l : ours) {
        EXPECT_TRUE(oursByPid.emplace(l.pid, &l).second) << "listed twice: " << l.whole;
    }
    // The test's own processes, which nothing else changes: the same user
    // and command in both (the CPU share and the memory are read at two
    // moments, and a sleeper may still be starting at the first).
    for (pid_t p : pids) {
        const std::string pid = std::to_string(p);
        SCOPED_TRACE(pid);
        ASSERT_TRUE(oursByPid.count(pid));
        ASSERT_TRUE(theirsByPid.count(pid));
        EXPECT_EQ(oursByPid[pid]->user, theirsByPid[pid]->user);
        EXPECT_EQ(oursByPid[pid]->command, theirsByPid[pid]->command);
    }
    EXPECT_EQ(oursByPid[std::to_string(pids[3])]->command,
              dir.path + "/tevls" + tag + " second line  120");
    EXPECT_EQ(oursByPid[std::to_string(pids[4])]->command, "[tevlz" + tag + "]");
    // Every other process that lived through both runs is listed by both,
    // in the same order. Its name, command line and user are its own to
    // change at any moment (a kernel worker names the work it does), so
    // they are not compared.
    for (const auto& [pid, start] : lasting) {
        SCOPED_TRACE(pid);
        EXPECT_TRUE(oursByPid.count(pid));
        EXPECT_TRUE(theirsByPid.count(pid));
    }
    std::vector<std::string> orderOurs, orderTheirs;
    for (const ListLine& l : ours)
        if (theirsByPid.count(l.pid)) orderOurs.push_back(l.pid);
    for (const ListLine& l : theirs)
        if (oursByPid.count(l.pid)) orderTheirs.push_back(l.pid);
    EXPECT_EQ(orderOurs, orderTheirs);
}

TEST_F(TevProc, CpuUsageKeepsItsSampleInTmpdir) {
    // The tool reads TMPDIR from its environment, as the agent's children do.
    const char* saved = getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", out.path.c_str(), 1);
    const Output first = Tool("cpuusage", {});
    const Output second = Tool("cpuusage", {});
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
    for (const Output& r : {first, second}) {
        EXPECT_EQ(r.exitCode, 0);
        char* end = nullptr;
        const double usage = strtod(r.out.c_str(), &end);
        EXPECT_EQ(std::string(end), "\n") << r.out;
        EXPECT_EQ(r.out.find('.'), r.out.size() - 3) << r.out;
        EXPECT_GE(usage, 0.0);
        EXPECT_LE(usage, 100.0);
    }
    struct stat st;
    const std::string sample = out.path + "/tev-cpuusage-" + std::to_string(geteuid()) + ".sample";
    ASSERT_EQ(lstat(sample.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const Output script = Script("cpuusage.sh", {});
    EXPECT_EQ(script.out.find('.'), script.out.size() - 3) << script.out;
}

}  // namespace
