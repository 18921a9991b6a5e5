// The process table reader on a fake /proc tree, where each case can hold
// what live processes rarely show: names with blanks, parentheses, tabs and
// line breaks, command lines with odd bytes, processes that vanish while
// they are read, accounts listed twice.
#include "platform/proctable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"

namespace {

// One process of the fake tree; empty texts leave that file out, as for a
// process that ended between the directory listing and the read.
struct FakeProcess {
    std::string pid;
    std::string name;     // as the kernel keeps it (stat and comm)
    std::string cmdline;  // raw bytes, NUL-separated
    std::string uid = "0";
    unsigned long long utime = 0, stime = 0, start = 0, rss = 0;
    bool noStat = false, noStatus = false, noCmdline = false;
};

// A directory laid out like /proc: uptime 1000.50 s, and the processes added.
class FakeProc {
  public:
    FakeProc() { WriteFile(dir.path + "/uptime", "1000.50 1900.00\n"); }

    void Add(const FakeProcess& p) {
        const std::string d = dir.path + "/" + p.pid;
        mkdir(d.c_str(), 0755);
        WriteFile(d + "/comm", p.name + "\n");
        if (!p.noStat) WriteFile(d + "/stat", StatLine(p));
        if (!p.noStatus)
            WriteFile(d + "/status", "Name:\t" + p.name + "\nUmask:\t0022\nState:\tS (sleeping)\n" +
                                         "Tgid:\t" + p.pid + "\nPid:\t" + p.pid +
                                         "\nPPid:\t1\nTracerPid:\t0\nUid:\t" + p.uid +
                                         "\t4242\t4242\t4242\nGid:\t0\t0\t0\t0\n");
        if (!p.noCmdline) WriteFile(d + "/cmdline", p.cmdline);
    }
    std::string Root() const { return dir.path; }

    // The list with 100 ticks a second and 4 KiB pages.
    std::string List(const std::string& passwd) const {
        const std::string passwdPath = dir.path + "/passwd";
        WriteFile(passwdPath, passwd);
        TProcListEnv env;
        env.ProcRoot = dir.path.c_str();
        env.PasswdFile = passwdPath.c_str();
        env.ClockTicks = 100;
        env.PageKb = 4;
        std::string out;
        EXPECT_TRUE(ListProcesses(env, out));
        return out;
    }
    long Count(const std::string& name, long skip = -1) const {
        long n = -1;
        EXPECT_TRUE(CountProcessesNamed(dir.path.c_str(), name, skip, n));
        return n;
    }

  private:
    static std::string StatLine(const FakeProcess& p) {
        // state ppid pgrp session tty tpgid flags minflt cminflt majflt
        // cmajflt utime stime cutime cstime prio nice threads itreal start
        // vsize rss, then the rest.
        return p.pid + " (" + p.name + ") S 1 1 1 0 -1 4194560 10 0 0 0 " +
               std::to_string(p.utime) + " " + std::to_string(p.stime) + " 0 0 20 0 1 0 " +
               std::to_string(p.start) + " 1234567 " + std::to_string(p.rss) +
               " 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
    }
    runstate::TempDir dir;
};

const char kPasswd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "daemon:x:1:1::/:/bin/false\n"
    "toor:x:0:0:second root:/root:/bin/sh\n"
    "broken line without fields\n"
    "last:x:77:77::/:/bin/sh";  // no final line feed

TEST(ProcTable, CountFollowsTheNameRules) {
    FakeProc proc;
    const std::string cmd = std::string("/usr/bin/worker\0--flag\0", 23);
    proc.Add({"10", "worker", cmd});
    proc.Add({"11", "worker", ""});  // zombie: counts by its kept name
    proc.Add({"12", "my worker", std::string("/opt/my worker\0", 15)});
    proc.Add({"13", "worker\nsecond", cmd});  // the first line of the name counts
    // Long names: the kernel keeps 15 bytes; the program's base name decides.
    proc.Add({"20", "averyveryverylo", std::string("/opt/bin/averyveryverylongname\0-x\0", 34)});
    proc.Add({"21", "averyveryverylo", std::string("averyveryverylongname\0", 22)});
    proc.Add({"22", "averyveryverylo", std::string("/opt/averyveryverylongname-2\0", 29)});
    proc.Add({"23", "averyveryverylo", ""});                            // zombie with a long name
    proc.Add({"24", "averyveryverylo", "/bin/averyveryverylongname"});  // no NUL at all
    proc.Add({"25", "averyveryverylo", "averyveryverylongname\nsecond\0"});  // line feed ends it
    proc.Add({"26", "averyveryverylo", std::string("/x/averyveryverylongname/\0", 26)});
    proc.Add({"27", "averyveryverylo", "x", "0", 0, 0, 0, 0, false, false, true});  // ended
    struct Case {
        std::string name;
        long skip;
        long count;
    } cases[] = {
        {"worker", -1, 3},
        {"worker", 10, 2},  // the caller itself never counts
        {"my worker", -1, 1},
        {"my", -1, 0},
        {"worke", -1, 0},  // a prefix is no match
        {"work*", -1, 0},  // nor a pattern
        {"worker\nsecond", -1, 0},
        {"averyveryverylongname", -1, 4},  // 20, 21, 24, 25
        {"averyveryverylo", -1, 8},        // the kept name itself is short
        {"averyveryverylongname-2", -1, 1},
        {"averyveryverylongnam", -1, 0},
        {"/opt/bin/averyveryverylongname", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(proc.Count(c.name, c.skip), c.count);
    }
}

TEST(ProcTable, ListLinesAndTheirFields) {
    FakeProc proc;
    // The clock stands at 100050 ticks: 500 ticks used in 100000 of life
    // are 0.5 percent.
    proc.Add({"1", "init", std::string("/sbin/init\0splash\0", 18), "0", 300, 200, 50, 100});
    proc.Add({"2", "kthreadd", "", "0"});
    proc.Add({"100", "tab\tname", std::string("a\tb\nc\rd\0e\0", 10), "1", 60, 40, 99950, 7});
    proc.Add({"11", "odd) (name", std::string("\0", 1), "77", 0, 0, 100050, 1});
    proc.Add({"12", "two\nlines", "", "4242"});
    proc.Add({"13", "blanks", std::string("x\0\0", 3), "0", 0, 0, 200000});
    proc.Add({"3", "gone", "x", "0", 0, 0, 0, 0, true});
    proc.Add({"4", "gone", "x", "0", 0, 0, 0, 0, false, true});
    proc.Add({"5", "gone", "x", "0", 0, 0, 0, 0, false, false, true});
    EXPECT_EQ(proc.List(kPasswd),
              "1 root 0.5 400 /sbin/init splash\n"
              "100 daemon 100.0 28 a b c d e\n"
              "11 last 0.0 4 [odd) (name]\n"
              "12 4242 0.0 0 [two lines]\n"
              "13 root 0.0 0 x \n"  // one trailing blank dropped, as the script does
              "2 root 0.0 0 [kthreadd]\n");
}

TEST(ProcTable, UnreadableTrees) {
    FakeProc proc;
    proc.Add({"7", "x", "x"});
    long n = 99;
    EXPECT_FALSE(CountProcessesNamed("/nonexistent/proc", "x", -1, n));
    EXPECT_EQ(n, 99);
    std::string out = "kept";
    TProcListEnv env;
    env.ProcRoot = "/nonexistent/proc";
    EXPECT_FALSE(ListProcesses(env, out));
    // Without an uptime there is no CPU share to show.
    ASSERT_EQ(unlink((proc.Root() + "/uptime").c_str()), 0);
    const std::string root = proc.Root();
    env.ProcRoot = root.c_str();
    EXPECT_FALSE(ListProcesses(env, out));
    EXPECT_EQ(out, "kept");
    // Without a passwd file the users are numbers.
    WriteFile(proc.Root() + "/uptime", "5.00 1.00\n");
    env.PasswdFile = "/nonexistent/passwd";
    EXPECT_TRUE(ListProcesses(env, out));
    EXPECT_EQ(out, "kept7 0 0.0 0 x\n");
}

}  // namespace
