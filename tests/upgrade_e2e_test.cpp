// Self-upgrade end to end: the real agent receives a new program as the
// monitoring server sends it (through the client's upgrade mode or raw
// bytes), installs it with its update script and starts it, and never ends
// up without a program that runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;
using runstate::Count;
using runstate::Entries;
using runstate::WaitForCount;

const int kWaitMs = 15000;  // generous: the machine is shared and busy
const char kKey[] = "0123456789abcdef";
const char kUpdates[] = "allowupdates=1\nupdateaddr=127.0.0.1\ntimeout=1000\ntransferidle=1000\n";
const char kCannotExecute[] =
    "tev update: the new program cannot be executed, starting the old one";
const char kCannotInstall[] =
    "tev update: cannot put the new program in place, starting the old one";

std::string Trailer(const std::string& file) {
    return wire::Std(UpgradeTrailer(wire::S(file), wire::S(kKey)));
}

// A new program that is a copy of the agent, told apart by a comment line
// appended (an executable ignores bytes after its sections).
std::string MarkedAgent() {
    return runstate::AgentProgram() + "\n# build " + agent_harness_detail::RandomHex(8) + "\n";
}

// Waits until dir holds no entries.
bool WaitEmpty(const std::string& dir) {
    const long long deadline = runstate::NowMs() + kWaitMs;
    while (!Entries(dir).empty()) {
        if (runstate::NowMs() >= deadline) return false;
        runstate::SleepMs(20);
    }
    return true;
}

class UpgradeE2E : public ::testing::Test {
  protected:
    // Starts the agent (interactive) with its program at bin/tev, a copy of
    // the agent, and its temporary directory tmp/, both in a work directory.
    void Start(const std::string& extra = "") {
        ASSERT_FALSE(work.path.empty());
        bin = work.path + "/bin";
        tmp = work.path + "/tmp";
        program = bin + "/tev";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
        ASSERT_TRUE(runstate::CopyProgram(TEV_BINARY, program));
        original = ReadWholeFile(program);
        ASSERT_TRUE(agent.Start(std::string(kUpdates) + "allowmanage=1\nmanageaddr=127.0.0.1\n" +
                                "tevpath=" + program + "\ntmpdir=" + tmp + "\n" + extra))
            << agent.Output();
        cfg = agent.cfgPath;
    }
    // Programs started by an update script outlive the process we started.
    void TearDown() override {
        if (!cfg.empty()) runstate::KillByArgument(cfg);
    }
    // Writes content to work/name and sends it with the client's upgrade
    // mode; returns the client's output.
    std::string SendWithClient(const std::string& content) {
        const std::string path = WriteFile(work.path + "/sent", content);
        CtlResult r = RunCtl(agent, {"-U", path});
        return r.out + r.err;
    }
    // Opens a transfer of size bytes on c; true when the agent said "200".
    bool Open(wire::Connection& c, size_t size) {
        const std::string body = "UpgradeCode\n" + std::to_string(size) + "\n\r";
        if (!c.Send(wire::Packet(agent.password, body, kKey))) return false;
        String reply;
        return ParseReplyPacket(wire::S(c.Receive(kWaitMs)), wire::S(kKey), reply) &&
               wire::Std(reply) == "200\n\r";
    }
    // The slot is free once a new transfer is refused for its size alone.
    bool SlotFree() {
        std::string reply;
        for (int i = 0; i < 200; i++) {
            reply = wire::Ask(agent.port, agent.password, "UpgradeCode\n100\n\r");
            if (reply != "302\n\r") break;
            runstate::SleepMs(50);
        }
        return reply == "501\nWrong file parameter(s)\n\r";
    }

    runstate::TempDir work;
    AgentHarness agent;
    std::string bin, tmp, program, original, cfg;
};

TEST_F(UpgradeE2E, ACopyOfTheAgentReplacesTheProgramAndStarts) {
    Start();
    const std::string sent = MarkedAgent();
    EXPECT_EQ(SendWithClient(sent), "200\n");
    // Nobody connects: the main thread acts on its own.
    ASSERT_TRUE(WaitForCount(agent, "Listening...", 2, kWaitMs)) << agent.Output();
    EXPECT_TRUE(ReadWholeFile(program) == sent);
    EXPECT_TRUE(WaitEmpty(tmp)) << Entries(tmp).size();
    const std::string out = agent.Output();
    EXPECT_EQ(Count(out, "Upgrade request received. Executing..\n"), 1);
    EXPECT_EQ(Count(out, " Application:  TEV (Farwatcher for Omnivar)\n"), 2);
    EXPECT_EQ(
        wire::Value(wire::Ask(agent.port, agent.password, "GetInfo\n\r"), "OpenedConnections"),
        "1");
    EXPECT_EQ(RunCtl(agent, {"QUIT"}).out, "200\nOk\n");
    EXPECT_EQ(agent.Wait(kWaitMs), 0);  // the script ends with the program
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
}

TEST_F(UpgradeE2E, BrokenTransfersFreeTheSlotAndLeaveNoFile) {
    Start();
    const std::string file(300, 'p');
    const std::string trailer = Trailer(file);
    struct Case {
        const char* name;
        std::string bytes;  // sent after the "200"
        bool close;         // the peer closes after sending
        const char* reply;  // the agent's verdict; null: none, it closes
    } cases[] = {
        {"wrong trailer", file + std::string(16, 'x'), false, "300\nWrong CRC\n\r"},
        {"a byte after the trailer", file + trailer + "x", false, "300\nWrong CRC\n\r"},
        {"closed in the file", file.substr(0, 150), true, nullptr},
        {"stalled in the file", file.substr(0, 150), false, nullptr},
        {"stalled in the trailer", file + trailer.substr(0, 10), false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire::Connection conn(agent.port);
        ASSERT_TRUE(Open(conn, file.size()));
        ASSERT_TRUE(conn.Send(c.bytes));
        if (c.close) {
            conn.Close();
        } else {
            bool closed = false;
            const std::string got = conn.Receive(kWaitMs, &closed);
            String reply;
            if (c.reply) {
                ASSERT_TRUE(ParseReplyPacket(wire::S(got), wire::S(kKey), reply));
                EXPECT_EQ(wire::Std(reply), c.reply);
            } else {
                EXPECT_EQ(got, "");
                EXPECT_TRUE(closed);
            }
        }
        EXPECT_TRUE(SlotFree());
        EXPECT_TRUE(WaitEmpty(tmp));
    }
    EXPECT_TRUE(ReadWholeFile(program) == original);
    EXPECT_EQ(Count(agent.Output(), "Upgrade request received"), 0);
}

TEST_F(UpgradeE2E, SizeBounds) {
    Start();
    struct Case {
        long long size;
        const char* reply;
    } cases[] = {
        {100, "501\nWrong file parameter(s)\n\r"},
        {101, "200\n\r"},
        {10485759, "200\n\r"},
        {10485760, "501\nWrong file parameter(s)\n\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        wire::Connection conn(agent.port);
        ASSERT_TRUE(conn.Send(
            wire::Packet(agent.password, "UpgradeCode\n" + std::to_string(c.size) + "\n\r", kKey)));
        String reply;
        ASSERT_TRUE(ParseReplyPacket(wire::S(conn.Receive(kWaitMs)), wire::S(kKey), reply));
        EXPECT_EQ(wire::Std(reply), c.reply);
        conn.Close();  // an open transfer is abandoned
        EXPECT_TRUE(SlotFree());
    }
}

// Paths with blanks, quotes, "$" and backquotes, the configuration path
// among the arguments, and a trailer that arrives in two pieces.
TEST_F(UpgradeE2E, OddPathsWholeArgumentsAndATrailerInTwoPieces) {
    const std::string odd = work.path + "/odd 'dir' \"q\" $HOME `id` \\";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((odd + "/tmp $x").c_str(), 0755), 0);
    program = odd + "/t e'v";
    tmp = odd + "/tmp $x";
    ASSERT_TRUE(runstate::CopyProgram(TEV_BINARY, program));
    cfg = odd + "/my tev.cfg";
    agent.port = FreeLoopbackPort();
    agent.password = "pw";
    ASSERT_FALSE(WriteFile(cfg, std::string(kUpdates) + "port=" + std::to_string(agent.port) +
                                    "\npassword=pw\ntevpath=" + program + "\ntmpdir=" + tmp + "\n")
                     .empty());
    ASSERT_TRUE(agent.Launch({"-i", cfg}));
    ASSERT_TRUE(agent.WaitForOutput("Listening...", kWaitMs)) << agent.Output();

    // A stand-in for the new program: records its arguments, one a line,
    // and proves itself as the agent does, by removing the backup.
    const std::string record = work.path + "/args.txt";
    const std::string stand_in =
        "#!/bin/sh\n"
        "# Stands in for a new agent in a test: writes down how it was started.\n"
        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
        record + "'\nrm -f -- \"$TEV_UPGRADE_BACKUP\"\n";
    wire::Connection conn(agent.port);
    ASSERT_TRUE(Open(conn, stand_in.size()));
    const std::string trailer = Trailer(stand_in);
    ASSERT_TRUE(conn.Send(stand_in + trailer.substr(0, 7)));
    runstate::SleepMs(300);  // the rest comes in a later read
    ASSERT_TRUE(conn.Send(trailer.substr(7)));
    String reply;
    ASSERT_TRUE(ParseReplyPacket(wire::S(conn.Receive(kWaitMs)), wire::S(kKey), reply));
    EXPECT_EQ(wire::Std(reply), "200\n\r");

    EXPECT_EQ(agent.Wait(kWaitMs), 0);  // the script ends with the stand-in
    EXPECT_EQ(ReadWholeFile(record), "-i\n" + cfg + "\n");
    EXPECT_EQ(ReadWholeFile(program), stand_in);
    EXPECT_EQ(Entries(tmp), std::vector<std::string>{});
    EXPECT_EQ(Entries(odd), (std::vector<std::string>{"my tev.cfg", "t e'v", "tmp $x"}));
}

TEST_F(UpgradeE2E, AFileThatCannotBeExecutedBringsTheOldProgramBack) {
    Start();
    std::string junk(4096, '\0');
    junk.replace(0, 5, "junk\n");
    EXPECT_EQ(SendWithClient(junk), "200\n");
    ASSERT_TRUE(WaitForCount(agent, "Listening...", 2, kWaitMs)) << agent.Output();
    EXPECT_NE(agent.Output().find(kCannotExecute), std::string::npos) << agent.Output();
    EXPECT_TRUE(ReadWholeFile(program) == original);
    EXPECT_TRUE(WaitEmpty(tmp));
    EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 0);
    EXPECT_EQ(RunCtl(agent, {"QUIT"}).exitCode, 0);
    EXPECT_EQ(agent.Wait(kWaitMs), 0);
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
}

// The old program stays as bin/tev.old (its watcher's pid in tev.old.pid)
// until the new one proves itself by answering a request; a new program
// that ends before that is replaced by the old one, which starts again.
struct ProofCase {
    const char* name;
    std::string program;  // empty: a copy of the agent
    bool proves;
};

void PrintTo(const ProofCase& c, std::ostream* os) {
    *os << c.name;
}

// A shell script standing in for a new program, padded above the smallest
// size an upgrade may have.
std::string StandIn(const std::string& body) {
    return "#!/bin/sh\n# A stand-in for a new tev program, for a test of the upgrade rollback:\n"
           "# it never proves itself.\n" +
           body;
}

class UpgradeProofE2E : public UpgradeE2E, public ::testing::WithParamInterface<ProofCase> {};

TEST_P(UpgradeProofE2E, TheOldProgramStaysUntilTheNewOneProvesItself) {
    const ProofCase& c = GetParam();
    Start();
    const std::string sent = c.program.empty() ? MarkedAgent() : c.program;
    EXPECT_EQ(SendWithClient(sent), "200\n");
    ASSERT_TRUE(WaitForCount(agent, "Listening...", 2, kWaitMs)) << agent.Output();
    if (c.proves) {
        // The new agent notes its pid just after it says "Listening...".
        EXPECT_TRUE(runstate::WaitForFileText(bin + "/tev.old.pid", "\n", 1, kWaitMs));
        EXPECT_EQ(Entries(bin), (std::vector<std::string>{"tev", "tev.old", "tev.old.pid"}));
        EXPECT_TRUE(ReadWholeFile(bin + "/tev.old") == original);
        EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 0);
        EXPECT_TRUE(
            WaitForCount(agent, "Upgrade confirmed, old program's backup removed\n", 1, kWaitMs));
        EXPECT_TRUE(ReadWholeFile(program) == sent);
    } else {
        EXPECT_NE(agent.Output().find("tev update: the new program failed before it proved "
                                      "itself, starting the old one"),
                  std::string::npos)
            << agent.Output();
        EXPECT_TRUE(ReadWholeFile(program) == original);
        EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 0);
    }
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
    EXPECT_TRUE(WaitEmpty(tmp));
    EXPECT_EQ(RunCtl(agent, {"QUIT"}).out, "200\nOk\n");
    EXPECT_EQ(agent.Wait(kWaitMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Programs, UpgradeProofE2E,
                         ::testing::Values(ProofCase{"ExitsAtOnce", StandIn("exit 1\n"), false},
                                           ProofCase{"CrashesAfterTwoSeconds",
                                                     StandIn("sleep 2\nkill -SEGV $$\n"), false},
                                           ProofCase{"AGoodAgent", "", true}),
                         [](const ::testing::TestParamInfo<ProofCase>& p) {
                             return std::string(p.param.name);
                         });

// New programs that never prove themselves and leave processes behind: one
// that hangs without serving, one that starts a detached child (its own
// session, so outside every process group of ours) and ends as a daemon's
// starting process would. Both are rolled back once the proof time (2 s
// here, through TEV_UPGRADE_PROOF_SECONDS) and the start-up grace have
// passed: the stand-in and everything it started are killed, the old
// program is back and serves.
struct RollbackCase {
    const char* name;
    const char* body;  // writes the pid it leaves running to RECORD
    const char* said;  // the update script's verdict
};

void PrintTo(const RollbackCase& c, std::ostream* os) {
    *os << c.name;
}

class UpgradeRollbackE2E : public UpgradeE2E, public ::testing::WithParamInterface<RollbackCase> {};

TEST_P(UpgradeRollbackE2E, IsKilledWithAllItStartedAndTheOldProgramServesAgain) {
    setenv("TEV_UPGRADE_PROOF_SECONDS", "2", 1);
    Start();
    unsetenv("TEV_UPGRADE_PROOF_SECONDS");
    const std::string record = work.path + "/left.pid";
    std::string body = GetParam().body;
    body.replace(body.find("RECORD"), 6, "'" + record + "'");
    EXPECT_EQ(SendWithClient(StandIn(body)), "200\n");
    // What the stand-in left running, by pid; it must go.
    ASSERT_TRUE(runstate::WaitForFileText(record, "\n", 1, kWaitMs));
    const int left = runstate::PidIn(record);
    ASSERT_GT(left, 0);
    ASSERT_TRUE(WaitForCount(agent, "Listening...", 2, 60000)) << agent.Output();
    EXPECT_TRUE(runstate::WaitGone(left, kWaitMs)) << left << "\n" << agent.Output();
    if (runstate::Alive(left)) kill(left, SIGKILL);  // nothing of ours outlives a failure
    const std::string out = agent.Output();
    EXPECT_NE(out.find(GetParam().said), std::string::npos) << out;
    EXPECT_TRUE(ReadWholeFile(program) == original);
    EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 0);
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
    EXPECT_TRUE(WaitEmpty(tmp));
    EXPECT_EQ(RunCtl(agent, {"QUIT"}).out, "200\nOk\n");
    EXPECT_EQ(agent.Wait(kWaitMs), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, UpgradeRollbackE2E,
    ::testing::Values(RollbackCase{"Hangs", "echo $$ > RECORD\nexec sleep 60\n",
                                   "tev update: the new program has not proven itself within 12 s, "
                                   "ending it and all it started; starting the old one"},
                      RollbackCase{"LeavesADetachedChildAndExits",
                                   "setsid sleep 61 </dev/null >/dev/null 2>&1 &\n"
                                   "echo $! > RECORD\nexit 0\n",
                                   "tev update: the new program failed before it proved itself, "
                                   "starting the old one"}),
    [](const ::testing::TestParamInfo<RollbackCase>& p) { return std::string(p.param.name); });

class UpgradeE2EReadOnlyDir : public UpgradeE2E {
  protected:
    // Makes bin/ refuse new entries: read-only bits, and for root (whom the
    // bits do not stop) the immutable flag. False when neither works here.
    bool MakeReadOnly() {
        chmod(bin.c_str(), 0555);
        if (geteuid() == 0) SetImmutable(true);
        const std::string probe = bin + "/probe";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return true;
        close(fd);
        unlink(probe.c_str());
        return false;
    }
    void TearDown() override {
        UpgradeE2E::TearDown();
        if (bin.empty()) return;
        if (geteuid() == 0) SetImmutable(false);
        chmod(bin.c_str(), 0755);
    }
    void SetImmutable(bool on) {
        const int fd = open(bin.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        int flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        close(fd);
    }
};

// A program file the agent cannot replace: refused before any byte is
// sent, with the reason on a line of its own and in the failure log.
TEST_F(UpgradeE2EReadOnlyDir, AProgramFileThatCannotBeReplacedIsRefusedBeforeTheTransfer) {
    Start("logfails=1\nbadlogfile=bad.log\n");
    if (!MakeReadOnly()) GTEST_SKIP() << "cannot make a directory read-only here";
    const std::string reason = "Cannot replace the program file: its folder " + bin +
                               " is not writable by the " + "agent's user (uid " +
                               std::to_string(geteuid()) + "): ";
    const std::string reply = wire::Ask(agent.port, agent.password, "UpgradeCode\n200\n\r");
    EXPECT_EQ(reply.substr(0, 4 + 25 + reason.size()), "600\nOperation is not allowed\n" + reason)
        << reply;
    const std::string client = SendWithClient(MarkedAgent());
    EXPECT_EQ(client.substr(0, 4 + 25 + reason.size()), "600\nOperation is not allowed\n" + reason)
        << client;
    EXPECT_EQ(client.find("allowupdates"), std::string::npos) << client;  // no guess at settings
    EXPECT_EQ(Entries(tmp), std::vector<std::string>{});                  // no transfer began
    EXPECT_TRUE(runstate::WaitForFileText(agent.dir + "/bad.log",
                                          "Upgrade refused: its folder " + bin, 2, kWaitMs));
    EXPECT_TRUE(ReadWholeFile(program) == original);
    EXPECT_EQ(Count(agent.Output(), "Upgrade request received"), 0);
}

// The folder turns read-only during the transfer: the script's copy fails,
// and the old program starts again.
TEST_F(UpgradeE2EReadOnlyDir, AFailedCopyKeepsTheOldProgramAndStartsIt) {
    Start();
    const std::string sent = MarkedAgent();
    wire::Connection conn(agent.port);
    ASSERT_TRUE(Open(conn, sent.size()));
    if (!MakeReadOnly()) GTEST_SKIP() << "cannot make a directory read-only here";
    ASSERT_TRUE(conn.Send(sent + Trailer(sent)));
    String reply;
    ASSERT_TRUE(ParseReplyPacket(wire::S(conn.Receive(kWaitMs)), wire::S(kKey), reply));
    EXPECT_EQ(wire::Std(reply), "200\n\r");
    ASSERT_TRUE(WaitForCount(agent, "Listening...", 2, kWaitMs)) << agent.Output();
    EXPECT_NE(agent.Output().find(kCannotInstall), std::string::npos) << agent.Output();
    EXPECT_TRUE(ReadWholeFile(program) == original);
    EXPECT_TRUE(WaitEmpty(tmp));
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
    EXPECT_EQ(RunCtl(agent, {"QUIT"}).exitCode, 0);
    EXPECT_EQ(agent.Wait(kWaitMs), 0);
}

TEST_F(UpgradeE2E, PlantedLinkIsNotFollowed) {
    Start();
    const std::string target = WriteFile(work.path + "/target", "precious\n");
    ASSERT_EQ(symlink(target.c_str(), (tmp + "/tev__.upd").c_str()), 0);
    EXPECT_EQ(wire::Ask(agent.port, agent.password, "UpgradeCode\n200\n\r"),
              "300\nCannot create temp file\n\r");
    EXPECT_EQ(ReadWholeFile(target), "precious\n");
    EXPECT_EQ(Entries(tmp), std::vector<std::string>{"tev__.upd"});
    EXPECT_TRUE(SlotFree());
}

TEST(UpgradeE2EDaemon, TheNewDaemonTakesOverThePidFile) {
    runstate::TempDir work;
    const std::string bin = work.path + "/bin", tmp = work.path + "/tmp";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    ASSERT_TRUE(runstate::CopyProgram(TEV_BINARY, bin + "/tev"));
    runstate::Daemon d;
    ASSERT_TRUE(
        d.Start(work.path, std::string(kUpdates) + "tevpath=" + bin + "/tev\ntmpdir=" + tmp));
    const std::string sent = WriteFile(work.path + "/sent", MarkedAgent());
    EXPECT_EQ(d.Ctl({"-U", sent}).out, "200\n");
    const int next = runstate::WaitForPid(d.pidPath, d.pid, kWaitMs);
    ASSERT_GT(next, 0);
    // The script watches the new daemon until it proves itself: its first
    // answered request removes the backup, and the script ends.
    EXPECT_EQ(d.Ctl({"GetInfo"}).exitCode, 0);
    EXPECT_TRUE(runstate::WaitGone(d.pid, kWaitMs));
    EXPECT_TRUE(ReadWholeFile(bin + "/tev") == ReadWholeFile(sent));
    EXPECT_TRUE(WaitEmpty(tmp));
    const long long deadline = runstate::NowMs() + kWaitMs;
    while (Entries(bin).size() > 1 && runstate::NowMs() < deadline) runstate::SleepMs(20);
    EXPECT_EQ(Entries(bin), std::vector<std::string>{"tev"});
    EXPECT_EQ(d.Ctl({"QUIT"}).exitCode, 0);
    EXPECT_TRUE(runstate::WaitGone(next, kWaitMs));
}

// The update script sits in a directory mounted without the right to
// execute, so the agent cannot run it. Needs a private mount namespace
// (root, or unprivileged user namespaces); skipped where there is none.
TEST(UpgradeE2EDaemon, ScriptThatCannotRunIsDroppedOnceAndTheDaemonGoesOn) {
    runstate::TempDir work;
    const std::string noexec = work.path + "/noexec";
    ASSERT_EQ(mkdir(noexec.c_str(), 0755), 0);
    runstate::Daemon d;
    d.cfg = work.path + "/daemon.cfg";
    d.pidPath = work.path + "/tev.pid";
    d.port = FreeLoopbackPort();
    ASSERT_FALSE(WriteFile(d.cfg, std::string(kUpdates) + "tevpath=" + TEV_BINARY +
                                      "\nport=" + std::to_string(d.port) +
                                      "\npassword=pw\npidfile=" + d.pidPath + "\ntmpdir=" + noexec +
                                      "\nlogfails=1\n")
                     .empty());
    const std::string script =
        "mount -t tmpfs -o noexec tmpfs \"$1\" || exit 99; exec \"$2\" -d \"$3\"";
    const std::string out = work.path + "/unshare.out";
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const pid_t pid = agent_harness_detail::Spawn(
        "/usr/bin/unshare",
        {geteuid() == 0 ? "-m" : "-rm", "/bin/sh", "-c", script, "sh", noexec, TEV_BINARY, d.cfg},
        fd, fd);
    close(fd);
    if (pid <= 0) GTEST_SKIP() << "no unshare here";
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (agent_harness_detail::DecodeStatus(status) != 0)
        GTEST_SKIP() << "no private mount namespace: " << ReadWholeFile(out);
    d.pid = runstate::WaitForPid(d.pidPath, 0, kWaitMs);
    ASSERT_GT(d.pid, 0);
    // The daemon's view of its temporary directory.
    const std::string seen = "/proc/" + std::to_string(d.pid) + "/root" + noexec;
    const std::string log = work.path + "/log2.txt";
    const std::string failed = "Error: cannot start upgrading script\n";
    const std::string sent = WriteFile(work.path + "/sent", std::string(200, 'n'));

    for (int attempt = 1; attempt <= 2; attempt++) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(d.Ctl({"-U", sent}).out, "200\n");
        ASSERT_TRUE(runstate::WaitForFileText(log, failed, attempt, kWaitMs));
        EXPECT_EQ(runstate::WaitForPid(d.pidPath, 0, kWaitMs), d.pid);  // written again
        EXPECT_EQ(d.Ctl({"GetInfo"}).exitCode, 0);
        EXPECT_EQ(Entries(seen), std::vector<std::string>{});
        runstate::SleepMs(1500);  // reported once, not at every later check
        EXPECT_EQ(Count(ReadWholeFile(log), failed), attempt);
    }
    EXPECT_EQ(d.Ctl({"QUIT"}).exitCode, 0);
    EXPECT_TRUE(runstate::WaitGone(d.pid, kWaitMs));
    EXPECT_NE(access(d.pidPath.c_str(), F_OK), 0);
}

}  // namespace
