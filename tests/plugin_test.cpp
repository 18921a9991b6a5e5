// tevctl's monitoring-plugin mode: the range syntax, its edges, the judging
// of replies, and the client end to end against a running agent.
#include "tools/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

namespace {

PluginRange Range(const char* text) {
    PluginRange r;
    EXPECT_EQ(ParsePluginRange(text, r), 1) << text;
    return r;
}

TEST(PluginRange, ParsesTheUsualSyntaxAndRefusesTheRest) {
    const double inf = HUGE_VAL;
    struct Case {
        const char* text;
        int ok;
        bool inside;
        double low, high;  // inf / -inf for an open end
    } cases[] = {
        {"10", 1, false, 0, 10},         {"10:", 1, false, 10, inf},  {"~:10", 1, false, -inf, 10},
        {"10:20", 1, false, 10, 20},     {"@10:20", 1, true, 10, 20}, {"@10", 1, true, 0, 10},
        {"-5:-1.5", 1, false, -5, -1.5}, {":7", 1, false, 0, 7},      {"~:", 1, false, -inf, inf},
        {"+3.25:4", 1, false, 3.25, 4},  {"5:5", 1, false, 5, 5},     {"", 0, false, 0, 0},
        {"@", 0, false, 0, 0},           {"20:10", 0, false, 0, 0},   {"abc", 0, false, 0, 0},
        {"10:x", 0, false, 0, 0},        {"1e3", 0, false, 0, 0},     {"inf", 0, false, 0, 0},
        {"0x10", 0, false, 0, 0},        {"~", 0, false, 0, 0},       {"10:20:30", 0, false, 0, 0},
        {" 10", 0, false, 0, 0},         {".", 0, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        PluginRange r;
        r.text = "untouched";
        ASSERT_EQ(ParsePluginRange(c.text, r), c.ok);
        if (!c.ok) {
            EXPECT_FALSE(r.set);
            EXPECT_EQ(r.text, "untouched");
            continue;
        }
        EXPECT_TRUE(r.set);
        EXPECT_EQ(r.inside, c.inside);
        EXPECT_EQ(r.lowInfinite, std::isinf(c.low));
        if (!r.lowInfinite) {
            EXPECT_EQ(r.low, c.low);
        }
        EXPECT_EQ(r.highInfinite, std::isinf(c.high));
        if (!r.highInfinite) {
            EXPECT_EQ(r.high, c.high);
        }
        EXPECT_EQ(r.text, c.text);
    }
}

TEST(PluginRange, EndsBelongToTheRange) {
    struct Case {
        const char* range;
        double value;
        bool alerts;
    } cases[] = {
        {"10", -0.5, true},   {"10", 0, false},      {"10", 10, false},    {"10", 10.01, true},
        {"10:", 9.99, true},  {"10:", 10, false},    {"10:", 1e12, false}, {"~:10", -1e12, false},
        {"~:10", 10, false},  {"~:10", 10.5, true},  {"10:20", 9, true},   {"10:20", 10, false},
        {"10:20", 20, false}, {"10:20", 21, true},   {"@10:20", 9, false}, {"@10:20", 10, true},
        {"@10:20", 20, true}, {"@10:20", 21, false}, {"@~:0", -3, true},   {"@~:0", 0.001, false},
        {"-5:-1", -5, false}, {"-5:-1", -0.9, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.range) + " " + std::to_string(c.value));
        EXPECT_EQ(PluginRangeAlerts(Range(c.range), c.value), c.alerts);
    }
    EXPECT_FALSE(PluginRangeAlerts(PluginRange(), -1e300));
}

void FillValues(const std::vector<const char*>& lines, TStrList& list) {
    for (const char* l : lines) list.Add(String(l));
}

TEST(PluginJudge, RepliesGiveOneStatusLineAndTheState) {
    struct Case {
        const char* command;
        int valueIndex;
        const char* warning;   // nullptr: not given
        const char* critical;  // nullptr: not given
        const char* code;
        std::vector<const char*> values;
        int state;
        const char* line;
    } cases[] = {
        {"TEST-CountFiles",
         1,
         nullptr,
         nullptr,
         "200",
         {"42"},
         kPluginOk,
         "TEV OK - TEST-CountFiles value 1 = 42 | 'TEST-CountFiles'=42"},
        {"TEST-CountFiles",
         1,
         "10",
         "20",
         "200",
         {"10"},
         kPluginOk,
         "TEV OK - TEST-CountFiles value 1 = 10 | 'TEST-CountFiles'=10;10;20"},
        {"TEST-CountFiles",
         1,
         "10",
         "20",
         "200",
         {"11"},
         kPluginWarning,
         "TEV WARNING - TEST-CountFiles value 1 = 11 (warning 10) | 'TEST-CountFiles'=11;10;20"},
        {"TEST-CountFiles",
         1,
         "10",
         "20",
         "200",
         {"21"},
         kPluginCritical,
         "TEV CRITICAL - TEST-CountFiles value 1 = 21 (critical 20) | 'TEST-CountFiles'=21;10;20"},
        // Free bytes of TEST-UNC are value 2, padded by the 64-bit form.
        {"TEST-UNC",
         2,
         nullptr,
         "1000000:",
         "200",
         {"   5000000", "    999999", "   10"},
         kPluginCritical,
         "TEV CRITICAL - TEST-UNC value 2 = 999999 (critical 1000000:) | 'TEST-UNC'=999999B;;"
         "1000000:;0;5000000"},
        {"TEST-UNC",
         2,
         "~:2000000",
         nullptr,
         "200",
         {"   5000000", "   1500000"},
         kPluginOk,
         "TEV OK - TEST-UNC value 2 = 1500000 | 'TEST-UNC'=1500000B;~:2000000;;0;5000000"},
        // The total has a minimum but no maximum.
        {"TEST-UNC",
         1,
         nullptr,
         nullptr,
         "200",
         {"   5000000", "   1500000"},
         kPluginOk,
         "TEV OK - TEST-UNC value 1 = 5000000 | 'TEST-UNC'=5000000B;;;0"},
        // A maximum that is not a number is left out.
        {"TEST-UNC",
         3,
         nullptr,
         nullptr,
         "200",
         {"?", "1", "2"},
         kPluginOk,
         "TEV OK - TEST-UNC value 3 = 2 | 'TEST-UNC'=2B;;;0"},
        {"TEST-CPU",
         1,
         "80",
         nullptr,
         "200",
         {"12.5000"},
         kPluginOk,
         "TEV OK - TEST-CPU value 1 = 12.5000 | 'TEST-CPU'=12.5000%;80"},
        {"TEST-TCP",
         1,
         nullptr,
         nullptr,
         "200",
         {"17", "answer"},
         kPluginOk,
         "TEV OK - TEST-TCP value 1 = 17 | 'TEST-TCP'=17ms;;;0"},
        // An external program's exit code: anything but 0 is critical.
        {"TEST-ExternalPrg",
         1,
         nullptr,
         "0",
         "200",
         {"3"},
         kPluginCritical,
         "TEV CRITICAL - TEST-ExternalPrg value 1 = 3 (critical 0) | 'TEST-ExternalPrg'=3;;0"},
        {"TEST-CPUUsage",
         1,
         "@80:90",
         "@90.0001:",
         "200",
         {"85.5000"},
         kPluginWarning,
         "TEV WARNING - TEST-CPUUsage value 1 = 85.5000 (warning @80:90) | "
         "'TEST-CPUUsage'=85.5000;@80:90;@90.0001:"},
        // Both thresholds hit: critical wins.
        {"TEST-CountFiles",
         1,
         "5",
         "5",
         "200",
         {"9"},
         kPluginCritical,
         "TEV CRITICAL - TEST-CountFiles value 1 = 9 (critical 5) | 'TEST-CountFiles'=9;5;5"},
        // A check that ran and failed is critical with the agent's message.
        {"TEST-FileExists",
         1,
         nullptr,
         nullptr,
         "301",
         {"File not found: /x|y%0Anext"},
         kPluginCritical,
         "TEV CRITICAL - TEST-FileExists: 301 File not found: /x/y next"},
        {"TEST-External",
         1,
         "1",
         "2",
         "300",
         {"script failed"},
         kPluginCritical,
         "TEV CRITICAL - TEST-External: 300 script failed"},
        {"TEST-TCP",
         1,
         nullptr,
         nullptr,
         "300",
         {"connection refused"},
         kPluginCritical,
         "TEV CRITICAL - TEST-TCP: 300 connection refused"},
        // Mistakes of the set-up (not allowed, bad parameters, a request the
        // agent does not know) and anything the plugin cannot judge are
        // unknown.
        {"TEST-External",
         1,
         "1",
         "2",
         "600",
         {"test is not allowed"},
         kPluginUnknown,
         "TEV UNKNOWN - TEST-External: 600 test is not allowed"},
        {"TEST-UNC", 2, nullptr, nullptr, "501", {}, kPluginUnknown, "TEV UNKNOWN - TEST-UNC: 501"},
        {"UpgradeCode",
         1,
         nullptr,
         nullptr,
         "302",
         {},
         kPluginUnknown,
         "TEV UNKNOWN - UpgradeCode: 302"},
        {"TEST-Nothing",
         1,
         nullptr,
         nullptr,
         "500",
         {"Command is unknown"},
         kPluginUnknown,
         "TEV UNKNOWN - TEST-Nothing: 500 Command is unknown"},
        {"TEST-CountFiles",
         3,
         nullptr,
         nullptr,
         "200",
         {"1", "2"},
         kPluginUnknown,
         "TEV UNKNOWN - TEST-CountFiles: the reply has no value 3"},
        {"GetInfo",
         1,
         nullptr,
         "1",
         "200",
         {"Zo Farwatcher"},
         kPluginUnknown,
         "TEV UNKNOWN - GetInfo value 1 is not a number: Zo Farwatcher"},
        {"TEST-CountFiles",
         1,
         nullptr,
         nullptr,
         "200",
         {"   "},
         kPluginUnknown,
         "TEV UNKNOWN - TEST-CountFiles value 1 is not a number: "},
        {"TEST-CountFiles",
         1,
         nullptr,
         nullptr,
         "200",
         {"12abc"},
         kPluginUnknown,
         "TEV UNKNOWN - TEST-CountFiles value 1 is not a number: 12abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        PluginArgs args;
        args.enabled = true;
        args.valueIndex = c.valueIndex;
        if (c.warning) args.warning = Range(c.warning);
        if (c.critical) args.critical = Range(c.critical);
        TStrList values;
        FillValues(c.values, values);
        const PluginReport r = JudgePluginReply(args, String(c.command), String(c.code), values);
        EXPECT_EQ(r.state, c.state);
        EXPECT_EQ(r.line, c.line);
    }
    const PluginReport none = PluginNoReply(String("GetInfo"), "connection refused");
    EXPECT_EQ(none.state, kPluginUnknown);
    EXPECT_EQ(none.line, "TEV UNKNOWN - GetInfo: connection refused");
}

// The default label tells two checks of one request apart by the parameter
// the table lists first.
TEST(PluginJudge, DefaultLabel) {
    struct Case {
        const char* command;
        std::vector<const char*> params;
        const char* label;
    } cases[] = {
        {"TEST-UNC", {"/var"}, "TEST-UNC /var"},
        {"TEST-Process", {"", "nginx"}, "TEST-Process nginx"},  // parameter 1 is not used
        {"TEST-Process", {"x", ""}, "TEST-Process"},
        {"TEST-Process", {}, "TEST-Process"},
        {"TEST-TextLog2", {"/var/log/syslog", "0"}, "TEST-TextLog2 /var/log/syslog"},
        {"TEST-CPU", {}, "TEST-CPU"},
        {"TEST-Nothing", {"a", "b"}, "TEST-Nothing a"},
    };
    for (const Case& c : cases) {
        std::vector<String> params;
        for (const char* p : c.params) params.push_back(String(p));
        EXPECT_EQ(DefaultPluginLabel(String(c.command), params), c.label);
    }
}

TEST(PluginJudge, NoReplyIsUnknown) {
    const PluginReport none = PluginNoReply(String("GetInfo"), "connection refused");
    EXPECT_EQ(none.state, kPluginUnknown);
    EXPECT_EQ(none.line, "TEV UNKNOWN - GetInfo: connection refused");
}

// Answers each connection on a loopback port with the next canned reply
// body, encrypted under the request's session key, using the agent's own
// protocol code; stops after the last body or when destroyed.
class CannedAgent {
  public:
    CannedAgent(const std::string& password, std::vector<std::string> bodies)
        : bodies_(std::move(bodies)) {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listenFd_, 8) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        thread_ = std::thread([this, password] { Serve(password); });
    }
    ~CannedAgent() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) close(listenFd_);
    }
    int port = 0;

  private:
    // Waits up to 100 ms for fd to become readable.
    static bool Readable(int fd) {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 100) > 0;
    }
    void Serve(const std::string& password) {
        for (const std::string& body : bodies_) {
            while (!stop_ && !Readable(listenFd_)) {
            }
            if (stop_) return;
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            QVRequest req;
            char buf[1024];
            while (!stop_ && !req.WholePacket() && Readable(fd)) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                req += String(buf, int(n));
            }
            if (req.WholePacket() && req.ParseInitRequest(String(password.c_str()), in_addr{})) {
                TEVReply reply;
                reply.InitPacket(nullptr, req.GetSessionKey());
                reply = String(body.c_str());
                reply.FinalizePacket();
                send(fd, reply.Data(), size_t(reply.Length()), MSG_NOSIGNAL);
            }
            close(fd);
        }
    }
    std::vector<std::string> bodies_;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct ClientCase {
    std::vector<std::string> args;
    int exitCode;
    const char* out;  // the whole standard output, or its start when it ends in '*'
};

void RunClientCases(const std::vector<std::string>& connection,
                    const std::vector<ClientCase>& cases) {
    for (const ClientCase& c : cases) {
        std::vector<std::string> args = connection;
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string joined;
        for (const std::string& s : args) joined += s + " ";
        SCOPED_TRACE(joined);
        const CtlResult r = RunCtlRaw(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        const std::string want = c.out;
        if (!want.empty() && want.back() == '*') {
            EXPECT_EQ(r.out.compare(0, want.size() - 1, want, 0, want.size() - 1), 0) << r.out;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        } else {
            EXPECT_EQ(r.out, want);
        }
    }
}

// The client's exit codes and status lines over a real exchange: one
// canned reply per case, in order.
TEST(PluginE2E, ClientReportsCannedRepliesByPluginState) {
    const std::vector<ClientCase> cases = {
        {{"--plugin", "TEST-CountFiles", "/x/*", "0"},
         0,
         "TEV OK - TEST-CountFiles value 1 = 2 | 'TEST-CountFiles /x/*'=2\n"},
        {{"--plugin", "--warning", "1", "--critical", "5", "TEST-CountFiles", "/x/*", "0",
          "--label", "x's"},
         1,
         "TEV WARNING - TEST-CountFiles value 1 = 2 (warning 1) | 'x_s'=2;1;5\n"},
        {{"--plugin", "--value", "2", "--critical", "1000:", "TEST-UNC", "/"},
         2,
         "TEV CRITICAL - TEST-UNC value 2 = 512 (critical 1000:) | 'TEST-UNC "
         "/'=512B;;1000:;0;4096\n"},
        {{"--plugin", "TEST-FileExists", "/nonexistent"},
         2,
         "TEV CRITICAL - TEST-FileExists: 301 File not found\n"},
        {{"--plugin", "GetInfo"},
         3,
         "TEV UNKNOWN - GetInfo value 1 is not a number: AgentName=x\n"},
    };
    CannedAgent agent("pw", {"200\n2\n", "200\n2\n", "200\n4096\n   512\n", "301\nFile not found\n",
                             "200\nAgentName=x\n"});
    ASSERT_NE(agent.port, 0);
    RunClientCases({"-p", std::to_string(agent.port), "-w", "pw"}, cases);
}

// Against the real agent: its refusals, a wrong password, a closed port and
// bad plugin options.
TEST(PluginE2E, ClientAgainstTheAgent) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("allowmanage=0\n")) << a.Output();
    const std::vector<std::string> ctl = {"-p", std::to_string(a.port), "-w", a.password};
    RunClientCases(
        ctl, {
                 {{"--plugin", "GetSettings"},
                  3,
                  "TEV UNKNOWN - GetSettings: 600 Operation is not allowed (setting "
                  "allowmanage is 0, or manageaddr does not list this client)\n"},
                 {{"--plugin", "TEST-ExternalPrg", ""}, 3, "TEV UNKNOWN - TEST-ExternalPrg: 501*"},
                 {{"--plugin", "--state", "/tmp/x", "TEST-UNC", "/"},
                  3,
                  "TEV UNKNOWN - --state goes only with TEST-TextLog and "
                  "TEST-TextLog2, not with TEST-UNC\n"},
                 {{"--plugin", "--critical", "20:10", "GetInfo"},
                  3,
                  "TEV UNKNOWN - invalid range '20:10' for --critical\n"},
                 {{"--plugin", "--value", "0", "GetInfo"},
                  3,
                  "TEV UNKNOWN - invalid value line number '0'\n"},
                 {{"--plugin", "--bogus", "GetInfo"}, 3, ""},
                 {{"--critical", "5", "GetInfo"}, 2, ""},
             });
    RunClientCases(
        {"-p", std::to_string(a.port), "-w", "wrong"},
        {{{"--plugin", "GetInfo"}, 3, "TEV UNKNOWN - GetInfo: no reply from 127.0.0.1:*"}});
    RunClientCases(
        {"-p", std::to_string(FreeLoopbackPort()), "-w", "pw"},
        {{{"--plugin", "GetInfo"}, 3, "TEV UNKNOWN - GetInfo: no reply from 127.0.0.1:*"}});
    RunClientCases(
        {"-p", std::to_string(FreeLoopbackPort())},
        {{{"--plugin", "GetInfo"}, 3, "TEV UNKNOWN - no password given (-w, -W or -c)\n"}});
}

// A log check from a scheduler that starts the client anew each time: the
// read position travels through the state file, so a line is reported once
// and lines written before the first run never.
TEST(PluginE2E, TextLogStateKeepsThePositionBetweenRuns) {
    AgentHarness a;
    ASSERT_TRUE(a.Start()) << a.Output();
    const std::string log = a.dir + "/app.log";
    const std::string state = a.dir + "/app.state";
    ASSERT_FALSE(WriteFile(log, "old ERROR before the first run\n").empty());
    const std::vector<std::string> check = {
        "-p",  std::to_string(a.port), "-w", a.password,     "--plugin", "--state",
        state, "--critical",           "0",  "TEST-TextLog", log,        "ERROR"};
    auto run = [&]() { return RunCtlRaw(check); };
    CtlResult r = run();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("value 1 = 0"), std::string::npos) << r.out;
    const std::string first = agent_harness_detail::ReadWholeFile(state);
    EXPECT_NE(first.find("check=TEST-TextLog " + log + "\n"), std::string::npos) << first;
    EXPECT_NE(first.find("lastsize=31\n"), std::string::npos) << first;

    ASSERT_FALSE(WriteFile(log, "old ERROR before the first run\nnew ERROR line\n").empty());
    r = run();
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("TEV CRITICAL"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("'TEST-TextLog " + log + "'="), std::string::npos) << r.out;

    r = run();  // nothing new since
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("value 1 = 0"), std::string::npos) << r.out;

    // A state file written for another log starts the watch afresh.
    const std::string other = a.dir + "/other.log";
    ASSERT_FALSE(WriteFile(other, "ERROR\nERROR\nERROR\n").empty());
    std::vector<std::string> otherCheck = check;
    otherCheck[10] = other;
    r = RunCtlRaw(otherCheck);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(agent_harness_detail::ReadWholeFile(state).find("check=TEST-TextLog " + other),
              std::string::npos);

    // A damaged state file is named, not taken for a fresh start.
    ASSERT_FALSE(WriteFile(state, "position=x\n").empty());
    r = run();
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_EQ(r.out, "TEV UNKNOWN - TEST-TextLog: state file " + state +
                         ": line 1 is not <key>=<number>\n");
}

}  // namespace
