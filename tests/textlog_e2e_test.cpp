// Text log tests end to end: the real agent watching a log the test writes,
// asked by the client the way the server asks, feeding back the state each
// reply returns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

std::string Trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a);
}

// The reply as lines: result code, then values (leading blanks removed).
std::vector<std::string> Lines(const CtlResult& r) {
    std::vector<std::string> out;
    for (size_t at = 0; at < r.out.size();) {
        size_t end = r.out.find('\n', at);
        if (end == std::string::npos) end = r.out.size();
        out.push_back(Trimmed(r.out.substr(at, end - at)));
        at = end + 1;
    }
    return out;
}

bool AppendFile(const std::string& path, const std::string& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, data.data(), data.size()) == ssize_t(data.size());
    close(fd);
    return ok;
}

class TextLogE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent.Start("textlog=1\n")) << agent.Output();
        log = agent.dir + "/app.log";
        ASSERT_FALSE(WriteFile(log, "old err line\n").empty());
    }

    // TEST-TextLog with the state held here; returns the reply lines and,
    // on "200", takes over the returned state.
    std::vector<std::string> TextLog(const std::string& what, int isExpr, int scanAll,
                                     const std::string& name = "", const char* cs = "1") {
        return Take(
            RunCtl(agent, {"TEST-TextLog", name.empty() ? log : name, what, position, lastSize,
                           lastAge, std::to_string(isExpr), std::to_string(scanAll), cs, "0"}),
            8);
    }
    std::vector<std::string> TextLog2(int scanAll, const std::vector<std::string>& filters) {
        std::vector<std::string> args = {"TEST-TextLog2", log,     position,
                                         lastSize,        lastAge, std::to_string(scanAll)};
        args.insert(args.end(), filters.begin(), filters.end());
        return Take(RunCtl(agent, args), 9);
    }
    std::vector<std::string> Take(const CtlResult& r, size_t count) {
        std::vector<std::string> l = Lines(r);
        if (!l.empty() && l[0] == "200") {
            EXPECT_EQ(l.size(), count) << r.out;
            if (l.size() >= 8) position = l[4], lastSize = l[5], lastAge = l[6];
        }
        return l;
    }

    AgentHarness agent;
    std::string log;
    std::string position = "0", lastSize = "0", lastAge = "0";
};

TEST_F(TextLogE2E, WatchSequence) {
    const std::string size0 = std::to_string(std::string("old err line\n").size());
    // First request: from the end; the line already there is not reported.
    std::vector<std::string> r = TextLog("err", 0, 0);
    ASSERT_GE(r.size(), 8u);
    EXPECT_EQ(r[0], "200");
    EXPECT_EQ(r[1], "0");
    EXPECT_EQ(r[2], "");
    EXPECT_EQ(r[3], "0");
    EXPECT_EQ(r[4], "12");
    EXPECT_EQ(r[5], size0);
    EXPECT_EQ(r[7], size0);

    // Three new matching lines, scan-all 0: one by one, with the more flag.
    ASSERT_TRUE(AppendFile(log, "e1 err\nno\ne2 err\ne3 err\n"));
    struct Step {
        const char* offset;
        const char* line;
        const char* more;
        const char* position;
    } steps[] = {
        {"16", "e1 err", "1", "20"},
        {"27", "e2 err", "1", "30"},
        {"34", "e3 err", "0", "37"},
        {"0", "", "0", "37"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.line);
        r = TextLog("err", 0, 0);
        ASSERT_GE(r.size(), 8u);
        EXPECT_EQ(r[1], s.offset);
        EXPECT_EQ(r[2], s.line);
        EXPECT_EQ(r[3], s.more);
        EXPECT_EQ(r[4], s.position);
        EXPECT_EQ(r[7], "37");
    }
    EXPECT_EQ(lastSize, "37");

    // Scan-all 1: the last of several new lines, an expression this time.
    ASSERT_TRUE(AppendFile(log, "f1 err\nf2 ERR x\nf3 err\nf4 ok\n"));
    r = TextLog("'err' and not 'f3'", 1, 1, "", "0");
    ASSERT_GE(r.size(), 8u);
    EXPECT_EQ(r[1], "45");
    EXPECT_EQ(r[2], "f2 ERR x");  // case-insensitive
    EXPECT_EQ(r[3], "0");
    EXPECT_EQ(r[4], "66");
    EXPECT_EQ(r[5], "66");
}

TEST_F(TextLogE2E, TwoFiltersReportWhichMatched) {
    TextLog2(1, {"'down'", "1", "0", "0", "1", "up", "0", "0", "1"});
    ASSERT_TRUE(AppendFile(log, "link down\nlink up\nlink down again\n"));
    const std::vector<std::string> both = {"'down'", "1", "0", "0", "1", "up", "0", "0", "1"};
    struct Step {
        const char* line;
        const char* more;
        const char* first;
    } steps[] = {{"link down", "1", "1"}, {"link up", "1", "0"}, {"link down again", "0", "1"}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.line);
        std::vector<std::string> r = TextLog2(0, both);
        ASSERT_EQ(r.size(), 9u);
        EXPECT_EQ(r[2], s.line);
        EXPECT_EQ(r[3], s.more);
        EXPECT_EQ(r[8], s.first);
    }
    // Without the second filter only the first counts.
    ASSERT_TRUE(AppendFile(log, "link up\n"));
    std::vector<std::string> r = TextLog2(1, {"'down'", "1", "0", "0", "0"});
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(r[1], "0");
    EXPECT_EQ(r[8], "0");
}

TEST_F(TextLogE2E, Failures) {
    struct Case {
        std::vector<std::string> args;
        const char* code;
        const char* text;
    } cases[] = {
        {{"TEST-TextLog", agent.dir + "/none*.log", "err", "0", "0", "0", "0", "1", "1", "0"},
         "301",
         "File does not exist"},
        {{"TEST-TextLog", log, "err", "12a", "1", "1", "0", "1", "1", "0"},
         "501",
         "Wrong parameter"},
        {{"TEST-TextLog2", log, "0", "1", "1 2", "1", "err", "0", "1", "0", "0"},
         "501",
         "Wrong parameter"},
        {{"TEST-TextLog", log, "err", "-1", "1", "1", "0", "1", "1", "0"}, "301", "fseek error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[3]);
        const std::vector<std::string> r = Lines(RunCtl(agent, c.args));
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r[0], c.code);
        EXPECT_EQ(r[1], c.text);
    }
    // A wildcard name resolves to the first match.
    const std::vector<std::string> r = TextLog("err", 0, 1, agent.dir + "/app*");
    ASSERT_GE(r.size(), 8u);
    EXPECT_EQ(r[0], "200");
    EXPECT_EQ(r[4], "12");
}

TEST(TextLogE2ERight, RefusedWhenOff) {
    AgentHarness agent;
    ASSERT_TRUE(agent.Start("textlog=0\n")) << agent.Output();
    for (const char* command : {"TEST-TextLog", "TEST-TextLog2"}) {
        const std::vector<std::string> r = Lines(RunCtl(agent, {command, "/etc/passwd"}));
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r[0], "600");
        EXPECT_EQ(r[1], "test is not allowed");
    }
}

}  // namespace
