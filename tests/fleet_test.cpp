// tevctl for many agents and from the agent's own configuration: the hosts
// list, the configuration file as credentials, and the client end to end
// against several real agents, a closed port and a host that never answers.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "tools/agentcfg.h"
#include "tools/hostlist.h"

namespace {

TEST(HostList, Entries) {
    struct Case {
        const char* entry;
        bool ok;
        const char* host;
        int port;
        const char* error;
    } cases[] = {
        {"web1", true, "web1", 1055, ""},
        {"web1:2000", true, "web1", 2000, ""},
        {"127.0.0.7:1", true, "127.0.0.7", 1, ""},
        {"::1", true, "::1", 1055, ""},
        {"[::1]:2000", true, "::1", 2000, ""},
        {"[::1]", true, "::1", 1055, ""},
        {"web1:", false, "", 0, "invalid port ''"},
        {"web1:70000", false, "", 0, "invalid port '70000'"},
        {"web1:x", false, "", 0, "invalid port 'x'"},
        {":2000", false, "", 0, "empty host name"},
        {"[::1", false, "", 0, "']' missing"},
        {"[::1]x", false, "", 0, "':' expected after ']'"},
        {"a b", false, "", 0, "blank inside the host name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        THostEntry e;
        std::string error;
        ASSERT_EQ(SplitHostEntry(c.entry, 1055, e, error), c.ok);
        if (!c.ok) {
            EXPECT_EQ(error, c.error);
            continue;
        }
        EXPECT_EQ(e.text, c.entry);
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, c.port);
    }
}

TEST(HostList, FileAndListKeepTheirOrder) {
    std::vector<THostEntry> hosts;
    std::string error;
    ASSERT_TRUE(ParseHostsText("# fleet\r\n\r\n  db2:7 \t# comment\r\nweb1\n\n#\nweb1\nlast", "h",
                               1055, hosts, error))
        << error;
    std::vector<std::string> got;
    for (const THostEntry& h : hosts) got.push_back(h.text + "=" + std::to_string(h.port));
    EXPECT_EQ(got, (std::vector<std::string>{"db2:7=7", "web1=1055", "web1=1055", "last=1055"}));
    EXPECT_FALSE(ParseHostsText("a\n\nb:99999\n", "hosts.txt", 1055, hosts, error));
    EXPECT_EQ(error, "hosts.txt line 3: invalid port '99999'");

    hosts.clear();
    ASSERT_TRUE(ParseHostsList("a, b:9,,c", 5, hosts, error));
    ASSERT_EQ(hosts.size(), 3u);
    EXPECT_EQ(hosts[1].host, "b");
    EXPECT_EQ(hosts[1].port, 9);
    EXPECT_EQ(hosts[2].port, 5);
    EXPECT_FALSE(ParseHostsList("a,b:0", 5, hosts, error));
    EXPECT_EQ(error, "-H b:0: invalid port '0'");
}

// A scratch directory removed at the end.
class ScratchDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_fleet_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        nftw(dir.c_str(), agent_harness_detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string dir;
};

using AgentConfigFile = ScratchDir;

// The file means to the client what it means to the agent: the loader's
// rules for line ends, blanks, comments and the first port.
TEST_F(AgentConfigFile, ReadAsTheAgentReadsIt) {
    struct Case {
        const char* content;
        bool ok;
        const char* host;
        int port;
        const char* password;
        const char* error;  // after "<path>"
    } cases[] = {
        {"port=2000\r\npassword=s3cret\r\n", true, "127.0.0.1", 2000, "s3cret", ""},
        {"  Port = 2000 \r\n PASSWORD=  two words \t\r\nhost=\r\n", true, "127.0.0.1", 2000,
         "two words", ""},
        {"# password=no\n;port=1\nport=2000\nport=3000\npassword=a\npassword=b\n", true,
         "127.0.0.1", 2000, "b", ""},
        {"host=0.0.0.0\nport=2000\npassword=x\n", true, "127.0.0.1", 2000, "x", ""},
        {"host=127.0.0.9\nport=2000\npassword=x\n", true, "127.0.0.9", 2000, "x", ""},
        {"port=2000\n", false, "", 0, "", " names no password"},
        {"password=x\n", false, "", 0, "", " names no port"},
        {"port=70000\npassword=x\n", false, "", 0, "",
         ": Line 1: port=70000: must be from 1 to 65535"},
    };
    const std::string path = dir + "/tev.cfg";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        ASSERT_FALSE(WriteFile(path, c.content).empty());
        TAgentAddress a;
        std::vector<std::string> warnings;
        std::string error;
        ASSERT_EQ(ReadAgentAddress(path, a, warnings, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_EQ(error, path + c.error);
            continue;
        }
        EXPECT_EQ(a.host, c.host);
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.password, c.password);
    }
    // A refused number other than the port does not stop the client; it is
    // named.
    ASSERT_FALSE(WriteFile(path, "port=2000\npassword=x\ntimeout=abc\n").empty());
    TAgentAddress a;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(ReadAgentAddress(path, a, warnings, error));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], path + ": Line 3: timeout=abc: not a whole number");

    EXPECT_FALSE(ReadAgentAddress(dir + "/none.cfg", a, warnings, error));
    EXPECT_EQ(error,
              "cannot read configuration file " + dir + "/none.cfg: No such file or directory");
    EXPECT_FALSE(ReadAgentAddress(dir, a, warnings, error));
    EXPECT_EQ(error, "cannot read configuration file " + dir + ": Is a directory");
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
        EXPECT_FALSE(ReadAgentAddress(path, a, warnings, error));
        EXPECT_EQ(error, "cannot read configuration file " + path + ": Permission denied");
    }
}

// Lines of text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// A loopback port that accepts connections (the kernel completes them into
// the backlog) and never answers: a hung agent.
class SilentPort {
  public:
    SilentPort() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            listen(fd, 8) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~SilentPort() {
        if (fd >= 0) close(fd);
    }
    int fd = -1;
    int port = 0;
};

// Three agents with one password (one refuses GetSettings), a closed port
// and a silent one, asked at once.
class Fleet : public ScratchDir {
  protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(
                agents[i].Start("password=fleet\n" + std::string(i == 2 ? "allowmanage=0\n" : "")))
                << agents[i].Output();
            entries.push_back("127.0.0.1:" + std::to_string(agents[i].port));
        }
        ASSERT_NE(silent.port, 0);
    }
    std::string HostsFile(const std::string& content) { return WriteFile(dir + "/hosts", content); }
    AgentHarness agents[3];
    SilentPort silent;
    std::vector<std::string> entries;
};

TEST_F(Fleet, OneLinePerHostInTheFilesOrder) {
    const std::string closed = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::string dead = "127.0.0.1:" + std::to_string(silent.port);
    const std::string hosts =
        HostsFile("# the fleet\r\n" + entries[2] + "\r\n\r\n" + closed + "   # gone\n" +
                  entries[0] + "\n" + dead + "\n" + entries[1] + "\n");
    ASSERT_FALSE(hosts.empty());
    for (const char* parallel : {"1", "32"}) {
        SCOPED_TRACE(parallel);
        const CtlResult r = RunCtlRaw(
            {"--hosts", hosts, "-w", "fleet", "-t", "1500", "--parallel", parallel, "GetSettings"});
        EXPECT_EQ(r.exitCode, 2) << r.err;
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 5u) << r.out;
        EXPECT_EQ(lines[0].rfind(entries[2] + "\t600\tOperation is not allowed", 0), 0u)
            << lines[0];
        EXPECT_EQ(lines[1], closed + "\t-\tno reply: connection refused");
        EXPECT_EQ(lines[2].rfind(entries[0] + "\t200\tAgentName=Zo Farwatcher\t", 0), 0u);
        EXPECT_EQ(lines[3], dead + "\t-\tno reply: timed out");
        EXPECT_EQ(lines[4].rfind(entries[1] + "\t200\t", 0), 0u);
        EXPECT_EQ(r.err, "tevctl: 5 hosts: 2 answered 200, 1 other result, 2 no reply\n");
    }
}

TEST_F(Fleet, ExitCodeSaysTheWorstOutcome) {
    const std::string all = entries[0] + "," + entries[1] + "," + entries[2];
    CtlResult r = RunCtlRaw({"-H", all, "-w", "fleet", "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out).size(), 3u);
    EXPECT_EQ(r.err, "tevctl: 3 hosts: 3 answered 200, 0 other result, 0 no reply\n");
    r = RunCtlRaw({"-H", all, "-w", "fleet", "GetSettings"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    // A wrong password gets no reply from any of them.
    r = RunCtlRaw({"-H", all, "-w", "wrong", "GetInfo"});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    for (const std::string& l : Lines(r.out))
        EXPECT_NE(l.find("\t-\tno reply: no reply (connection closed)"), std::string::npos) << l;
    // The port of -p is the default of entries without one.
    r = RunCtlRaw({"-H", "127.0.0.1,localhost", "-p", std::to_string(agents[1].port), "-w", "fleet",
                   "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(Fleet, JsonOneObjectPerHost) {
    const std::string closed = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const CtlResult r = RunCtlRaw({"-H", entries[0] + "," + closed + "," + entries[2], "-w",
                                   "fleet", "--json", "TEST-UNC", "/"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const std::string head = "{\"host\":\"" + entries[0] +
                             "\",\"request\":\"TEST-UNC\",\"code\":\"200\",\"values\":"
                             "{\"total_bytes\":";
    EXPECT_EQ(lines[0].compare(0, head.size(), head), 0) << lines[0];
    EXPECT_NE(lines[0].find(",\"free_bytes\":"), std::string::npos);
    EXPECT_EQ(lines[1], "{\"host\":\"" + closed +
                            "\",\"request\":\"TEST-UNC\",\"error\":\"connection refused\"}");
    EXPECT_EQ(lines[2].rfind("{\"host\":\"" + entries[2] + "\"", 0), 0u);
}

TEST_F(Fleet, BadUse) {
    const std::string hosts = HostsFile("a\nb:0\n");
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"--hosts", hosts, "-w", "x", "GetInfo"}, "line 2: invalid port '0'"},
        {{"--hosts", dir + "/none", "-w", "x", "GetInfo"}, "cannot read hosts file"},
        {{"--hosts", hosts, "-H", "a", "-w", "x", "GetInfo"}, "--hosts and -H exclude each other"},
        {{"-H", "a,b", "-w", "x", "--plugin", "GetInfo"}, ""},
        {{"-H", "a,b", "-w", "x", "-d", "GetInfo"}, "-d does not go with several hosts"},
        {{"-H", "a,b", "-w", "x", "--parallel", "0", "GetInfo"}, "invalid --parallel 0"},
        {{"-H", ",", "-w", "x", "GetInfo"}, "no host in -H"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const CtlResult r = RunCtlRaw(c.args);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

// -c takes the agent's own file: the harness's (which the agent runs with)
// and a copy rewritten with CR LF, blanks and a wildcard listening address.
TEST_F(Fleet, ConfigurationFileAsCredentials) {
    const AgentHarness& a = agents[0];
    CtlResult r = RunCtlRaw({"-c", a.cfgPath, "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string crlf =
        WriteFile(dir + "/crlf.cfg", "host = 0.0.0.0\r\nport= " + std::to_string(a.port) +
                                         "  \r\n; a comment\r\npassword = fleet \t\r\n");
    r = RunCtlRaw({"-c", crlf, "--json", "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("{\"host\":\"127.0.0.1\",\"request\":\"GetInfo\",\"code\":\"200\","
                          "\"values\":{\"AgentName\":\"Zo Farwatcher\",",
                          0),
              0u)
        << r.out;
    // Options on the command line win over the file.
    r = RunCtlRaw({"-c", crlf, "-p", std::to_string(agents[1].port), "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Port=" + std::to_string(agents[1].port)), std::string::npos);
    r = RunCtlRaw({"-c", crlf, "-w", "wrong", "GetInfo"});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    // With several hosts the file gives the password and the default port.
    r = RunCtlRaw({"-c", crlf, "-H", "127.0.0.1," + entries[1], "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    r = RunCtlRaw({"-c", dir + "/none.cfg", "GetInfo"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "tevctl: cannot read configuration file " + dir +
                         "/none.cfg: No such file or directory\n");
    r = RunCtlRaw({"-c", dir + "/none.cfg", "--plugin", "GetInfo"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "TEV UNKNOWN - cannot read configuration file " + dir +
                         "/none.cfg: No such file or directory\n");
}

// No reply: the JSON object says why on standard output too, exit code 2.
TEST_F(Fleet, SingleHostJsonWithoutReply) {
    const CtlResult r =
        RunCtlRaw({"-p", std::to_string(silent.port), "-w", "x", "-t", "300", "--json", "GetInfo"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "{\"host\":\"127.0.0.1\",\"request\":\"GetInfo\",\"error\":\"timed out\"}\n");
    EXPECT_EQ(r.err, "tevctl: 127.0.0.1:" + std::to_string(silent.port) + ": timed out\n");
}

}  // namespace
