// The agent as an ordinary user, end to end: started as root with
// "-u nobody", it serves as that user with CAP_DAC_READ_SEARCH alone, reads
// files only root may read, starts programs that hold no capability at all,
// rewrites its own configuration, and keeps exactly that through a restart
// and a self-upgrade. Also the user lookup and the refusals of "-u".
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "platform/privilege.h"
#include "runstate_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;

const int kWaitMs = 20000;
const char kUser[] = "nobody";
const char kNoCapability[] = "0000000000000000";
const char kReadAllOnly[] = "0000000000000004";  // bit 2: CAP_DAC_READ_SEARCH
const char kSetpriv[] = "/usr/bin/setpriv";
const char kSecret[] = "root only: the agent reads this through its capability\n";

// "Key:\tvalue" lines (as /proc/PID/status has them) into a map.
std::map<std::string, std::string> StatusFields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // the reply's line ends
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

// The first (real) id of a "Uid:" value.
long RealId(const std::string& ids) {
    return ids.empty() ? -1 : std::atol(ids.c_str());
}

// A process of the plain user: not root, no capability in any set.
void ExpectPlainUser(const std::string& status, const std::string& who) {
    SCOPED_TRACE(who + ":\n" + status);
    const auto f = StatusFields(status);
    ASSERT_EQ(f.count("Uid"), 1u);
    EXPECT_GT(RealId(f.at("Uid")), 0);
    for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"}) {
        ASSERT_EQ(f.count(set), 1u) << set;
        EXPECT_EQ(f.at(set), kNoCapability) << set;
    }
}

class PrivilegeE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "starting the agent with -u needs root";
        String error;
        if (!LookUpUser(kUser, user, error)) GTEST_SKIP() << "no user " << kUser << " here";
        char tmpl[] = "/tmp/tev_priv_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // The agent's own folders belong to its user: the configuration's
        // (rewritten by rename), the temporary and the pid file's.
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        ASSERT_EQ(chown(dir.c_str(), user.Uid, user.Gid), 0);
        tmp = dir + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        ASSERT_EQ(chown(tmp.c_str(), user.Uid, user.Gid), 0);
        program = dir + "/tev";
        ASSERT_TRUE(runstate::CopyProgram(TEV_BINARY, program));
        secret = dir + "/secret";
        ASSERT_FALSE(WriteFile(secret, kSecret).empty());
        ASSERT_EQ(chmod(secret.c_str(), 0600), 0);  // root's, as written
        copy = dir + "/copy";
        ASSERT_FALSE(WriteFile(copy, kSecret).empty());
        ASSERT_EQ(chmod(copy.c_str(), 0644), 0);
        childScript = dir + "/child.sh";
        ASSERT_FALSE(
            WriteFile(childScript, "#!/bin/sh\ngrep -E '^(Uid|Cap)' /proc/self/status > \"$1\"\n")
                .empty());
        ASSERT_EQ(chmod(childScript.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (!cfg.empty()) runstate::KillByArgument(cfg);
        if (!dir.empty()) {
            const std::string cmd = "rm -rf '" + dir + "'";
            EXPECT_EQ(system(cmd.c_str()), 0);
        }
    }

    // Writes the configuration (the user's, mode 0600) and starts the
    // daemon as root with "-u nobody"; waits for its pid file.
    void Start(const std::string& extra = "") {
        WriteConfiguration(extra);
        ASSERT_TRUE(launcher.Launch({"-u", kUser, "-d", cfg}));
        ASSERT_EQ(launcher.Wait(kWaitMs), 0) << launcher.Output();
        pid = runstate::WaitForPid(pidPath, 0, kWaitMs);
        ASSERT_GT(pid, 0);
    }
    // Starts the daemon as the user already, with the capability and one
    // more in its ambient set, as a service manager does; without "-u".
    void StartAsUserWithAmbient() {
        WriteConfiguration("");
        const CtlResult r = RunProgramRaw(
            kSetpriv, {"--reuid=" + std::to_string(user.Uid), "--regid=" + std::to_string(user.Gid),
                       "--clear-groups", "--inh-caps=+dac_read_search,+net_raw",
                       "--ambient-caps=+dac_read_search,+net_raw", TEV_BINARY, "-d", cfg});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        pid = runstate::WaitForPid(pidPath, 0, kWaitMs);
        ASSERT_GT(pid, 0);
        boundingLeft = true;  // only root can narrow it
    }
    void WriteConfiguration(const std::string& extra) {
        cfg = dir + "/tev.cfg";
        pidPath = dir + "/tev.pid";
        port = FreeLoopbackPort();
        ASSERT_GT(port, 0);
        const std::string text = "tevpath=" + program + "\nport=" + std::to_string(port) +
                                 "\npassword=pw\nhost=127.0.0.1\npidfile=" + pidPath +
                                 "\ntmpdir=" + tmp +
                                 "\nallowmanage=1\nmanageaddr=127.0.0.1\nfilecrc=1\n"
                                 "comparefiles=1\nexternal=1\nshellscript=1\n" +
                                 extra;
        ASSERT_FALSE(WriteFile(cfg, text).empty());
        ASSERT_EQ(chown(cfg.c_str(), user.Uid, user.Gid), 0);
        ASSERT_EQ(chmod(cfg.c_str(), 0600), 0);
    }
    CtlResult Ctl(const std::vector<std::string>& args) const {
        std::vector<std::string> full = {"-p", std::to_string(port), "-w", "pw", "-d"};
        full.insert(full.end(), args.begin(), args.end());
        return RunCtlRaw(full);
    }
    std::string AgentStatus() const {
        return ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    }

    // Everything the agent must do as the user, with what it holds.
    void ExpectServesAsUser() {
        const auto agent = StatusFields(AgentStatus());
        SCOPED_TRACE("agent:\n" + AgentStatus());
        const std::string u = std::to_string(user.Uid);
        EXPECT_EQ(agent.at("Uid"), u + "\t" + u + "\t" + u + "\t" + u);  // real to file system
        EXPECT_EQ(agent.at("CapEff"), kReadAllOnly);
        EXPECT_EQ(agent.at("CapPrm"), kReadAllOnly);
        EXPECT_EQ(agent.at("CapInh"), kNoCapability);
        EXPECT_EQ(agent.at("CapAmb"), kNoCapability);
        if (!boundingLeft) {
            EXPECT_EQ(agent.at("CapBnd"), kReadAllOnly);
        }

        // A file only root may read answers as any other.
        const CtlResult crc = Ctl({"TEST-FileCRC", secret});
        EXPECT_EQ(crc.out, Ctl({"TEST-FileCRC", copy}).out);
        EXPECT_EQ(crc.out.substr(0, 4), "200\n");
        EXPECT_EQ(Ctl({"TEST-FileCompare", "1", secret, copy, "0", "0", "1"}).out, "200\n1\n");
        EXPECT_EQ(Ctl({"TEST-FileCompare", "3", secret, "through its capability", "1", "0"}).out,
                  "200\n1\n");

        // Children hold nothing.
        const CtlResult script =
            Ctl({"TEST-ShellScript", "sh %script%",
                 "grep -E '^(Uid|Cap)' /proc/self/status%0Aecho scriptres:OK", "", "0", "20"});
        ASSERT_EQ(script.out.substr(0, std::min<size_t>(script.out.size(), 17)),
                  "200\nscriptres:OK\n")
            << script.out << script.err;
        ExpectPlainUser(script.out.substr(17), "shell script");
        const std::string report = tmp + "/external.txt";
        unlink(report.c_str());
        EXPECT_EQ(Ctl({"TEST-ExternalPrg", childScript + " " + report, "", "", "0"}).out,
                  "200\n0\n");
        ExpectPlainUser(ReadWholeFile(report), "external program");

        // The configuration is the user's and stays so when rewritten.
        const std::string comment = "as " + std::string(kUser) + " " + std::to_string(pid);
        EXPECT_EQ(Ctl({"SetSettings", "Comment=" + comment}).out, "200\n");
        struct stat st;
        ASSERT_EQ(stat(cfg.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, user.Uid);
        EXPECT_NE(ReadWholeFile(cfg).find("comment=" + comment + "\r\n"), std::string::npos);
    }

    TUserIds user;
    std::string dir, tmp, program, secret, copy, childScript, cfg, pidPath;
    int port = 0;
    int pid = 0;
    AgentHarness launcher;
    bool boundingLeft = false;
};

TEST_F(PrivilegeE2E, ServesAsTheUserWithOneCapabilityAndKeepsItThroughReloadApp) {
    Start();
    ExpectServesAsUser();
    EXPECT_EQ(Ctl({"ReloadApp"}).out, "200\nOk\n");
    // The new image, run as the user from its start, forks a new daemon and
    // writes its pid file.
    const int first = pid;
    pid = runstate::WaitForPid(pidPath, first, kWaitMs);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(runstate::WaitGone(first, kWaitMs));
    ExpectServesAsUser();
}

// The start a service manager makes (the packaged unit): the user already,
// the capability ambient. Another ambient capability is dropped, and
// nothing is left inheritable or ambient for the children.
TEST_F(PrivilegeE2E, StartedAsTheUserKeepsOnlyTheOneCapability) {
    if (access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "no setpriv to start tev as " << kUser;
    StartAsUserWithAmbient();
    ExpectServesAsUser();
    EXPECT_EQ(Ctl({"ReloadApp"}).out, "200\nOk\n");
    const int first = pid;
    pid = runstate::WaitForPid(pidPath, first, kWaitMs);
    ASSERT_GT(pid, 0);
    ExpectServesAsUser();
}

TEST_F(PrivilegeE2E, SelfUpgradeKeepsTheUserAndTheCapability) {
    // A program file the user may replace, as a tarball installation that
    // allows self-upgrade has it.
    ASSERT_EQ(chown(program.c_str(), user.Uid, user.Gid), 0);
    Start("allowupdates=1\nupdateaddr=127.0.0.1\n");
    // Sent as an upgrade can carry it (a sanitizer build without its debug
    // information).
    const std::string upgrade = dir + "/tev.new";
    ASSERT_FALSE(WriteFile(upgrade, runstate::AgentProgram()).empty());
    EXPECT_EQ(Ctl({"-U", upgrade}).out, "200\n");
    const int old = pid;
    pid = runstate::WaitForPid(pidPath, old, kWaitMs);
    ASSERT_GT(pid, 0) << ReadWholeFile(pidPath);
    // Proven (backup gone) once it has answered a request.
    ExpectServesAsUser();
    EXPECT_TRUE(runstate::WaitGone(old, kWaitMs));
}

// A program file of root's (as a package installs it) cannot be replaced
// by the agent's user: an upgrade is refused before the transfer, with the
// reason, and the agent serves on unchanged.
TEST_F(PrivilegeE2E, UpgradeOfAProgramFileTheUserCannotReplaceIsRefused) {
    Start("allowupdates=1\nupdateaddr=127.0.0.1\nlogfails=1\nbadlogfile=bad.log\n");
    const CtlResult r = Ctl({"-U", TEV_BINARY});
    EXPECT_EQ(r.out, "600\nOperation is not allowed\nCannot replace the program file: " + program +
                         " is not writable by the agent's user (uid " + std::to_string(user.Uid) +
                         "): Permission denied\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(runstate::WaitForFileText(
        dir + "/bad.log", "Upgrade refused: " + program + " is not writable", 1, kWaitMs));
    EXPECT_EQ(runstate::Entries(tmp), std::vector<std::string>{});
    EXPECT_EQ(Ctl({"GetInfo"}).exitCode, 0);
    EXPECT_EQ(runstate::PidIn(pidPath), pid);
    ExpectServesAsUser();
}

// The refusals of "-u", and its acceptance where the process is the user
// already (as after the agent's own re-execution).
TEST(PrivilegeCommandLine, RefusesWhatCannotWork) {
    if (geteuid() != 0) GTEST_SKIP() << "the cases need root, to start tev as root and as nobody";
    TUserIds nobody;
    String error;
    if (!LookUpUser(kUser, nobody, error)) GTEST_SKIP() << "no user " << kUser << " here";
    const char* setpriv = kSetpriv;
    if (access(setpriv, X_OK) != 0) GTEST_SKIP() << "no setpriv to start tev as " << kUser;
    const std::vector<std::string> asNobody = {"--reuid=" + std::to_string(nobody.Uid),
                                               "--regid=" + std::to_string(nobody.Gid),
                                               "--clear-groups", TEV_BINARY};
    TUserIds other;
    const bool hasDaemon = LookUpUser("daemon", other, error) && other.Uid != 0;
    runstate::TempDir dir;
    const std::string cfg = dir.path + "/tev.cfg";
    const int port = FreeLoopbackPort();
    ASSERT_FALSE(WriteFile(cfg, "tevpath=" + std::string(TEV_BINARY) +
                                    "\nport=" + std::to_string(port) + "\npassword=pw\n")
                     .empty());
    ASSERT_EQ(chmod(cfg.c_str(), 0600), 0);  // root's: nobody cannot read it
    const int lowest = UnprivilegedPortStart();
    struct Case {
        const char* name;
        bool asUser;
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"unknown user",
         false,
         {"-u", "tev-no-such-user", "-i", cfg},
         "Command line checking .. Error\nOption -u: user 'tev-no-such-user': unknown user\n\n"
         " Usage: tev"},
        {"root",
         false,
         {"-u", "root", "-i", cfg},
         "Command line checking .. Error\nOption -u: 'root' is root; name an ordinary user"},
        {"no user name",
         false,
         {"-u"},
         "Command line checking .. Error\nInvalid or missed command line parameter"},
        {"nothing after the user",
         false,
         {"-u", kUser},
         "Command line checking .. Error\nInvalid or missed command line parameter"},
        {"another user without root",
         true,
         {"-u", "root", "-i", cfg},
         "Command line checking .. Error\nOption -u: 'root' is root"},
        {"not root",
         true,
         {"-u", "daemon", "-i", cfg},
         "Command line checking .. Error\nOption -u needs root: tev runs as uid " +
             std::to_string(nobody.Uid) + ", not as root, and cannot become user 'daemon'"},
        // Accepted: the process is the user already; the next step fails on
        // the configuration that only root may read.
        {"the user already",
         true,
         {"-u", kUser, "-i", cfg},
         "Command line checking .. Ok\nSettings checking .. Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "not root" && !hasDaemon) continue;
        std::vector<std::string> args;
        std::string prog = TEV_BINARY;
        if (c.asUser) {
            prog = setpriv;
            args = asNobody;
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CtlResult r = RunProgramRaw(prog, args);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out << r.err;
    }
    // A port the user could not open again after a restart.
    if (lowest > 1) {
        const CtlResult r =
            RunProgramRaw(TEV_BINARY, {"-u", kUser, "-i", "-p", std::to_string(lowest - 1), cfg});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(r.out.find("Error\nOption -u: port " + std::to_string(lowest - 1) + " is below " +
                             std::to_string(lowest) + ", which only root may open"),
                  std::string::npos)
            << r.out << r.err;
    }
}

// The account files, read directly.
TEST(LookUpUser, NamesIdsAndGroups) {
    runstate::TempDir dir;
    const std::string passwd = dir.path + "/passwd";
    const std::string group = dir.path + "/group";
    ASSERT_FALSE(WriteFile(passwd,
                           "# comment\nroot:x:0:0:root:/root:/bin/sh\n"
                           "tev:x:998:997::/var/lib/tev:/usr/sbin/nologin\n"
                           "broken:x:abc:1::/:/bin/sh\n"
                           "+nis\n"
                           "last:x:1001:1001::/:/bin/sh")
                     .empty());
    ASSERT_FALSE(WriteFile(group,
                           "root:x:0:\ntev:x:997:\nadm:x:4:syslog,tev\nlog:x:5:tevx,ptev\n"
                           "audit:x:6:tev\n")
                     .empty());
    struct Case {
        const char* name;
        int ok;
        unsigned uid, gid;
        std::vector<unsigned> groups;
    };
    const std::vector<Case> cases = {
        {"tev", 1, 998, 997, {997, 4, 6}},
        {"998", 1, 998, 997, {997, 4, 6}},  // by id
        {"root", 1, 0, 0, {0}},
        {"last", 1, 1001, 1001, {1001}},  // no line end after the last entry
        {"broken", 0, 0, 0, {}},
        {"nis", 0, 0, 0, {}},
        {"", 0, 0, 0, {}},
        {"te", 0, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TUserIds ids;
        String error;
        ASSERT_EQ(LookUpUser(c.name, ids, error, passwd.c_str(), group.c_str()), c.ok);
        if (!c.ok) {
            EXPECT_EQ(std::string(error.Data(), size_t(error.Length())), "unknown user");
            continue;
        }
        EXPECT_EQ(ids.Uid, c.uid);
        EXPECT_EQ(ids.Gid, c.gid);
        EXPECT_EQ(std::vector<unsigned>(ids.Groups, ids.Groups + ids.GroupCount), c.groups);
    }
    TUserIds ids;
    String error;
    EXPECT_EQ(LookUpUser("tev", ids, error, (dir.path + "/none").c_str(), group.c_str()), 0);
    EXPECT_EQ(std::string(error.Data(), size_t(error.Length())).find("cannot read "), 0u);
}

}  // namespace
