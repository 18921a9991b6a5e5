// The agent faces the network and the local machine: hostile peers, remote
// settings that would break it, and links planted where it writes files.
// End to end against the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/sessionlimits.h"
#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::NowMs;
using agent_harness_detail::SleepMs;
using wire::Ask;
using wire::Value;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WaitForText(const std::string& path, const std::string& text, int ms) {
    for (int i = 0; i < ms / 20; i++) {
        if (ReadText(path).find(text) != std::string::npos) return true;
        SleepMs(20);
    }
    return false;
}

// The start of a request packet: length field announcing `total` bytes in
// all, the tag, and the digest of password (16 bytes, or flipped to be wrong).
std::string Header(unsigned int total, const std::string& password, bool rightDigest) {
    const unsigned int n = total - 4;
    std::string h(reinterpret_cast<const char*>(&n), 4);
    h += std::string("\x03\x12\x10\x00", 4);
    std::string digest = wire::Std(EncodePswd(wire::S(password)));
    if (!rightDigest) digest[0] = char(digest[0] ^ 1);
    return h + digest;
}

class FrontDoorE2E : public ::testing::Test {
  protected:
    void Start(const std::string& extra = "") {
        ASSERT_TRUE(agent.Start("allowmanage=1\nmanageaddr=127.0.0.1\ntimeout=1000\n" + extra))
            << agent.Output();
    }
    void ExpectStillAnswers() {
        EXPECT_EQ(Ask(agent.port, agent.password, "GetInfo\n\r").substr(0, 4), "200\n");
    }
    AgentHarness agent;
};

TEST_F(FrontDoorE2E, HostileClientsAreDroppedAndRealRequestsStillAnswered) {
    Start();
    const unsigned int k16MiB = 16u * 1024 * 1024;
    const std::string& pw = agent.password;
    struct Case {
        const char* name;
        std::string bytes;
        int maxMs;  // the agent must have closed by then, without a reply
    } cases[] = {
        // The digest is judged as soon as it is in, whatever follows.
        {"wrong digest announcing 16 MiB", Header(k16MiB, pw, false) + std::string(1 << 20, 'x'),
         2000},
        {"right digest announcing 16 MiB + 1", Header(k16MiB + 1, pw, true), 2000},
        {"wrong tag announcing 16 MiB", std::string("\xFC\xFF\xFF\x00\x12\x03", 6), 2000},
        {"no digest announcing 16 MiB", std::string("\xFC\xFF\xFF\x00\x03\x12\x00\x00", 8), 2000},
        {"empty session key", wire::Packet(pw, "GetInfo\n\r", ""), 2000},
        {"1-byte session key", wire::Packet(pw, "GetInfo\n\r", "k"), 2000},
        {"7-byte session key", wire::Packet(pw, "QUIT\n\r", "1234567"), 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long long t0 = NowMs();
        bool closed = false;
        const std::string got = SendRaw(agent.port, c.bytes, 8000, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(got, "");
        EXPECT_LE(NowMs() - t0, c.maxMs);
        ExpectStillAnswers();
    }
    EXPECT_NE(agent.Output().find("<-- Invalid QV request received\n"), std::string::npos);
}

TEST_F(FrontDoorE2E, TricklingRequestIsCutOffAtItsDeadline) {
    // One byte every 400 ms keeps the idle limit (1 s) from ever expiring.
    // The header (length, tag, digest: 24 bytes) must still be in within
    // the idle limit of the arrival, and the whole request within 10 s.
    Start();
    const std::string packet = wire::Packet(agent.password, "GetInfo\n\r");
    struct Case {
        const char* name;
        size_t atOnce;  // bytes sent at the start, the rest one by one
        long long minMs, maxMs;
    } cases[] = {
        {"header trickled", 0, 800, 4000},
        {"header at once, then the rest trickled", 24, 8000, 16000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire::Connection conn(agent.port);
        ASSERT_TRUE(conn.Ok());
        const long long t0 = NowMs();
        bool closed = false;
        if (c.atOnce) {
            ASSERT_TRUE(conn.Send(packet.substr(0, c.atOnce)));
        }
        for (size_t i = c.atOnce; i + 1 < packet.size() && !closed && NowMs() - t0 < 30000; i++) {
            if (!conn.Send(packet.substr(i, 1))) break;
            conn.Receive(400, &closed);
        }
        if (!closed) conn.Receive(2000, &closed);
        const long long held = NowMs() - t0;
        EXPECT_TRUE(closed);
        EXPECT_GE(held, c.minMs);
        EXPECT_LE(held, c.maxMs);
        ExpectStillAnswers();
    }
}

// Threads of a running process, from /proc.
int ThreadCount(pid_t pid) {
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("Threads:");
    return at == std::string::npos ? -1 : std::stoi(status.substr(at + 8));
}

// The agent's ActiveConnections, as it reports them.
int ActiveConnections(const AgentHarness& agent) {
    const std::string v =
        Value(Ask(agent.port, agent.password, "GetInfo\n\r"), "ActiveConnections");
    return v.empty() ? -1 : std::stoi(v);
}

TEST_F(FrontDoorE2E, ConcurrentSilentConnectionsHoldNoThreadAndAreDroppedAtTheIdleLimit) {
    // An idle limit longer than the kernel's deferral of silent connections
    // (1 s), so they are seen waiting once accepted.
    Start("timeout=2500\n");
    const int kSilent = 100;
    std::vector<std::unique_ptr<wire::Connection>> silent;
    for (int i = 0; i < kSilent; i++) {
        silent.emplace_back(new wire::Connection(agent.port, "127.0.0.4"));
        ASSERT_TRUE(silent.back()->Ok()) << i;
    }
    wire::Connection late(agent.port);
    ASSERT_TRUE(late.Ok());
    const long long t0 = NowMs();
    // The kernel holds silent connections back from accept for a second;
    // then the agent counts them and waits for their requests.
    int active = 0;
    while ((active = ActiveConnections(agent)) <= kSilent && NowMs() - t0 < 5000) SleepMs(50);
    EXPECT_GT(active, kSilent);
    // Waiting connections are watched, not each given a thread.
    EXPECT_LT(ThreadCount(agent.pid), 20);
    // A request that comes after its connection was accepted is served.
    ASSERT_TRUE(late.Send(wire::Packet(agent.password, "GetInfo\n\r")));
    String reply;
    ASSERT_TRUE(ParseReplyPacket(wire::S(late.Receive(3000)), wire::S("0123456789abcdef"), reply));
    EXPECT_EQ(wire::Std(reply).substr(0, 4), "200\n");
    // The idle limit counts from each connection's arrival.
    for (auto& conn : silent) {
        bool closed = false;
        EXPECT_EQ(conn->Receive(5000, &closed), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_LE(NowMs() - t0, 6000);
    EXPECT_EQ(ActiveConnections(agent), 1);
}

TEST_F(FrontDoorE2E, LoadOneAddressHoldingManyConnectionsLocksNobodyOut) {
    // Silent connections stay past the kernel's deferral, so the cap bites.
    Start("timeout=4000\n");
    const int kHeld = 300;  // well over the cap of one peer
    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < kHeld; i++) {
        held.emplace_back(new wire::Connection(agent.port, "127.0.0.3"));
        ASSERT_TRUE(held.back()->Ok()) << i;
    }
    const long long t0 = NowMs();
    const std::string reply = Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.2");
    EXPECT_EQ(reply.substr(0, 4), "200\n");
    EXPECT_LE(NowMs() - t0, 3000);
    EXPECT_LE(std::stoi(Value(reply, "ActiveConnections")), MAX_SESSIONS_PER_PEER + 1);
    // Connections over the cap were closed at once and counted.
    int failed = 0;
    for (int i = 0; i < 100 && failed < kHeld - MAX_SESSIONS_PER_PEER; i++) {
        failed = std::stoi(Value(Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.2"),
                                 "FailedConnections"));
        SleepMs(50);
    }
    EXPECT_GE(failed, kHeld - MAX_SESSIONS_PER_PEER);
    EXPECT_NE(agent.Output().find("127.0.0.3\t TCP connection rejected\n"), std::string::npos);
}

// 128 connections from each of four strangers and from the manager's own
// address, each sending a byte of a header now and then, hold every place
// they can: a stranger never gets a reserve place, and a silent or slow
// connection from the manager's address holds one for a second at most.
// The manager's requests are answered while the hold lasts.
TEST_F(FrontDoorE2E, ManagerIsAnsweredWhileEveryOtherPlaceIsHeld) {
    // The idle limit, and with it the header deadline, outlasts the test:
    // nothing but the reserve's proof time frees a held place.
    ASSERT_TRUE(agent.Start("allowmanage=1\nmanageaddr=127.0.0.6\ntimeout=60000\n"))
        << agent.Output();
    const char* const holders[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"};
    // A sound header, sent a byte at a time and never finished.
    const std::string header = Header(1000, agent.password, true);
    size_t sent = 0;
    std::vector<std::unique_ptr<wire::Connection>> held;
    for (const char* from : holders) {
        for (int i = 0; i < MAX_SESSIONS_PER_PEER; i++) {
            held.emplace_back(new wire::Connection(agent.port, from));
            ASSERT_TRUE(held.back()->Ok()) << from << " " << i;
            held.back()->Send(header.substr(0, 1));
        }
    }
    sent = 1;
    const long long t0 = NowMs();
    auto trickle = [&] {
        if (sent + 1 >= header.size()) return;
        for (auto& conn : held) conn->Send(header.substr(sent, 1));
        sent++;
    };
    std::string info;
    while (info.empty() && NowMs() - t0 < 20000) {
        trickle();
        info = Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.6", 2000);
    }
    ASSERT_EQ(info.substr(0, 4), "200\n") << agent.Output().substr(0, 2000);
    // Every ordinary place was held when the manager came in.
    EXPECT_GE(std::stoi(Value(info, "ActiveConnections")), MAX_SESSIONS - SESSION_RESERVE + 1);
    trickle();
    std::string set;
    while (set.empty() && NowMs() - t0 < 30000)
        set = Ask(agent.port, agent.password, "SetSettings\nComment=held\n\r", "127.0.0.6", 2000);
    EXPECT_EQ(set, "200\n\r");
    // The strangers' holds lasted: none of their admitted connections was
    // closed by the agent.
    int open = 0;
    for (size_t i = 0; i < 4 * size_t(MAX_SESSIONS_PER_PEER); i++) {
        bool closed = false;
        held[i]->Receive(1, &closed);
        open += closed ? 0 : 1;
    }
    EXPECT_EQ(open, 4 * (MAX_SESSIONS_PER_PEER - SESSION_RESERVE));
}

// How often what occurs in text.
int CountLines(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST_F(FrontDoorE2E, LoadAtTheDescriptorLimitTheAcceptLoopStaysResponsive) {
    Start();
    // Few descriptors: the connections below, which send a byte and then
    // nothing, use them all up.
    const struct rlimit few = {40, 40};
    ASSERT_EQ(prlimit(agent.pid, RLIMIT_NOFILE, &few, nullptr), 0);
    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < 100; i++) {
        held.emplace_back(new wire::Connection(agent.port, "127.0.0.3"));
        held.back()->Send("\x10");
    }
    SleepMs(300);
    // Once these sessions reach their idle limit (about 2 s) and give
    // their descriptors back, a real request is served again.
    const long long t0 = NowMs();
    std::string reply;
    while (reply.empty() && NowMs() - t0 < 15000) {
        reply = Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.2", 2000);
        if (reply.empty()) SleepMs(200);
    }
    EXPECT_EQ(reply.substr(0, 4), "200\n");
    EXPECT_LE(NowMs() - t0, 10000);
    const std::string out = agent.Output();
    // One message when the trouble starts and one with its count when it
    // ends, not one per refused connection.
    EXPECT_GE(CountLines(out, "Accept error: "), 1) << out;
    EXPECT_LE(CountLines(out, "Accept error: "), 2) << out;
    EXPECT_NE(out.find("Accept errors ended: "), std::string::npos);
    EXPECT_EQ(CountLines(out, "Accept fatal error"), 0);
}

// SetSettings takes what the configuration file takes, by the loader's own
// rules, and refuses what the loader would refuse: the whole request, with
// one line per refused parameter line.
TEST_F(FrontDoorE2E, SetSettingsRefusesValuesThatWouldBreakTheAgent) {
    Start();
    const std::string file = ReadText(agent.cfgPath);
    struct Case {
        std::vector<std::string> lines;
        std::string out;
    } cases[] = {
        {{"Port=0"}, "300\nLine 1: Port=0: must be from 1 to 65535\n"},
        {{"Port=65536"}, "300\nLine 1: Port=65536: must be from 1 to 65535\n"},
        {{"Port=http"}, "300\nLine 1: Port=http: not a whole number\n"},
        // Nothing else changes either, and every refused line is named.
        {{"TCP=0", "Port=-1"}, "300\nLine 2: Port=-1: must be from 1 to 65535\n"},
        {{"Password=", "TCP=0", "Timeout=1x"},
         "300\nLine 1: Password=: must not be empty\nLine 3: Timeout=1x: not a whole number\n"},
        {{"Password=   "}, "300\nLine 1: Password=: must not be empty\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines[0]);
        std::vector<std::string> args = {"SetSettings"};
        args.insert(args.end(), c.lines.begin(), c.lines.end());
        const CtlResult r = RunCtl(agent, args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(ReadText(agent.cfgPath), file);
        const std::string info = RunCtl(agent, {"GetInfo"}).out;
        EXPECT_EQ(Value(info, "Port"), std::to_string(agent.port));
        EXPECT_EQ(Value(info, "Timeout"), "1000");
        EXPECT_EQ(Value(info, "Enabled tests").substr(0, 1), "1");
    }

    // A CR inside a value is stored and written as a blank.
    EXPECT_EQ(Ask(agent.port, agent.password, "SetSettings\nComment=rack\r4\n\r"), "200\n\r");
    EXPECT_EQ(Value(RunCtl(agent, {"GetInfo"}).out, "Comment"), "rack 4");
    EXPECT_NE(ReadText(agent.cfgPath).find("comment=rack 4\r\n"), std::string::npos);
    // The edges of the range are fine.
    EXPECT_EQ(RunCtl(agent, {"SetSettings", "Timeout=1"}).out, "200\n");
}

// The values GetInfo reports, sent back with one change, are taken: a
// timeout of 0 (the default, 4000) and a negative one (no idle limit) as the
// file takes them, with the other lines of the request.
TEST_F(FrontDoorE2E, SetSettingsTakesWhatTheFileTakes) {
    Start();
    struct Case {
        std::string timeout, shown, written;
    } cases[] = {
        {"-1", "-1", "timeout=-1\r\n"},
        {"0", "4000", "timeout=4000\r\n"},
        {"-2147483648", "-2147483648", "timeout=-2147483648\r\n"},
        {"2500", "2500", "timeout=2500\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        const CtlResult r = RunCtl(
            agent, {"SetSettings", "Timeout=" + c.timeout, "TCP=0", "Comment=t" + c.timeout});
        EXPECT_EQ(r.out, "200\n");
        const std::string info = RunCtl(agent, {"GetInfo"}).out;
        EXPECT_EQ(Value(info, "Timeout"), c.shown);
        EXPECT_EQ(Value(info, "Enabled tests").substr(0, 1), "0");
        EXPECT_EQ(Value(info, "Comment"), "t" + c.timeout);
        EXPECT_NE(ReadText(agent.cfgPath).find(c.written), std::string::npos);
        ASSERT_EQ(RunCtl(agent, {"SetSettings", "TCP=1"}).out, "200\n");
    }
}

// Starts a daemon agent on a free port with the configuration file
// dir/daemon.cfg (tevpath, port, password "pw", then extra). With hostile
// set, the agent starts with SIGSEGV blocked and its standard descriptors
// closed; otherwise they are on /dev/null. Returns the port, or 0 when the
// daemon did not start (a port taken meanwhile is retried).
int StartDaemon(const std::string& dir, const std::string& extra, bool hostile) {
    for (int attempt = 0; attempt < 3; attempt++) {
        const int port = FreeLoopbackPort();
        const std::string cfg = WriteFile(
            dir + "/daemon.cfg", std::string("tevpath=") + TEV_BINARY +
                                     "\nport=" + std::to_string(port) + "\npassword=pw\n" + extra);
        if (cfg.empty()) return 0;
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGSEGV);
        posix_spawnattr_setsigmask(&attr, &blocked);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        for (int fd = 0; fd <= 2; fd++) {
            if (hostile)
                posix_spawn_file_actions_addclose(&fa, fd);
            else
                posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_RDWR, 0);
        }
        const char* argv[] = {TEV_BINARY, "-d", "-v", cfg.c_str(), nullptr};
        pid_t parent = -1;
        const int rc = posix_spawn(&parent, TEV_BINARY, &fa, hostile ? &attr : nullptr,
                                   const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) return 0;
        int status = 0;
        while (waitpid(parent, &status, 0) < 0 && errno == EINTR) {
        }
        const int code = agent_harness_detail::DecodeStatus(status);
        if (code == 0) return port;
        if (code != 4) return 0;  // 4: the port was taken after all
    }
    return 0;
}

// A daemon whose pid file and failure log are symbolic links planted by
// someone else writes through neither.
TEST(FrontDoorFilesE2E, PidFileAndLogLinksAreNotFollowed) {
    AgentHarness setup;
    ASSERT_TRUE(setup.Launch({"-i", "/dev/null/x"}));  // a temporary directory
    setup.Wait(10000);
    const std::string dir = setup.dir;
    const std::string victim = dir + "/victim";
    WriteFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/tev.pid").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/bad.log").c_str()), 0);
    const int port = StartDaemon(dir,
                                 "pidfile=" + dir + "/tev.pid\nlogfails=1\nbadlogfile=" + dir +
                                     "/bad.log\nlogsuccess=1\noklogfile=" + dir +
                                     "/ok.log\nverboselogfile=" + dir + "/v.log\n",
                                 false);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(
        WaitForText(dir + "/v.log", "Failed to create pid file " + dir + "/tev.pid\n", 5000))
        << ReadText(dir + "/v.log");
    const std::vector<std::string> ctl = {"-p", std::to_string(port), "-w", "pw"};
    std::vector<std::string> unknown = ctl;
    unknown.push_back("NoSuchCommand");  // a failure message, with peer text
    RunCtlRaw(unknown);
    EXPECT_TRUE(WaitForText(dir + "/v.log", "Unknown command \"NoSuchCommand\"", 5000));
    EXPECT_EQ(ReadText(victim), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat((dir + "/tev.pid").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // A log the agent creates is not readable by everybody.
    ASSERT_EQ(stat((dir + "/ok.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
    std::vector<std::string> quit = ctl;
    quit.push_back("QUIT");
    EXPECT_EQ(RunCtlRaw(quit).exitCode, 0);
}

// A pid file setting that names a file which is not a pid file (here the
// agent's own configuration) leaves that file whole, through the start and
// the stop; the agent runs without a pid file.
TEST(FrontDoorFilesE2E, AFileThatIsNotAPidFileIsNeitherOverwrittenNorDeleted) {
    AgentHarness setup;
    ASSERT_TRUE(setup.Launch({"-i", "/dev/null/x"}));  // a temporary directory
    setup.Wait(10000);
    const std::string dir = setup.dir;
    const std::string named = dir + "/notes.txt";
    WriteFile(named, "precious\n");
    const int port =
        StartDaemon(dir, "pidfile=" + named + "\nverboselogfile=" + dir + "/v.log\n", false);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(WaitForText(dir + "/v.log", "Failed to create pid file " + named + "\n", 5000))
        << ReadText(dir + "/v.log");
    EXPECT_NE(ReadText(dir + "/v.log")
                  .find("The file holds something other than a process number and is left as it "
                        "is\n"),
              std::string::npos);
    const std::vector<int> daemon = runstate::PidsByArgument(dir + "/daemon.cfg");
    ASSERT_EQ(daemon.size(), 1u);
    EXPECT_EQ(RunCtlRaw({"-p", std::to_string(port), "-w", "pw", "QUIT"}).exitCode, 0);
    EXPECT_TRUE(runstate::WaitGone(daemon[0], 10000));
    EXPECT_EQ(ReadText(named), "precious\n");
}

// The mask of blocked signals survives exec, as after a restart from the
// crash handler; an agent started with SIGSEGV blocked must clear it, and a
// daemon started with its standard descriptors closed must still have them
// open (without close-on-exec) so they survive its own restarts.
TEST(FrontDoorFilesE2E, DaemonClearsInheritedSignalMaskAndKeepsStandardDescriptors) {
    AgentHarness setup;
    ASSERT_TRUE(setup.Launch({"-i", "/dev/null/x"}));
    setup.Wait(10000);
    const std::string pidPath = setup.dir + "/tev.pid";
    const int port = StartDaemon(setup.dir, "pidfile=" + pidPath + "\n", true);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(WaitForText(pidPath, "\n", 10000));
    const std::string proc = "/proc/" + std::to_string(std::stoi(ReadText(pidPath)));
    // glibc blocks every signal for a moment while it starts a thread or a
    // child, so one reading may catch that; an inherited mask stays.
    std::string procStatus, mask;
    for (int tries = 0; tries < 50; tries++) {
        procStatus = ReadText(proc + "/status");
        const size_t at = procStatus.find("SigBlk:");
        ASSERT_NE(at, std::string::npos);
        mask = procStatus.substr(at, 24);
        if (mask == "SigBlk:\t0000000000000000") break;
        usleep(100 * 1000);
    }
    EXPECT_EQ(mask, "SigBlk:\t0000000000000000") << procStatus;
    for (int fd = 0; fd <= 2; fd++) {
        std::ifstream info(proc + "/fdinfo/" + std::to_string(fd));
        std::string key, flags;
        while (info >> key && key != "flags:") {
        }
        ASSERT_TRUE(info >> flags) << "descriptor " << fd;
        EXPECT_EQ(std::stoul(flags, nullptr, 8) & 02000000, 0u) << "descriptor " << fd;
    }
    EXPECT_EQ(RunCtlRaw({"-p", std::to_string(port), "-w", "pw", "QUIT"}).exitCode, 0);
}

}  // namespace
