#include "agent/console.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev-console-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        Configure(0, 0, 0, 0);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    // Relative log names: they must land beside the configuration file.
    void Configure(int verbose, int debug, int logsuccess, int logfails) {
        const std::string cfg = dir + "/tev.cfg";
        TEVSettings.Update([&](TTEVSettings& s) {
            snprintf(s.cfgfile, sizeof s.cfgfile, "%s", cfg.c_str());
            s.interactive = 0;
            s.verbose = verbose;
            s.debug = debug;
            s.logsuccess = logsuccess;
            s.logfails = logfails;
            s.oklogfile = "ok.txt";
            s.badlogfile = "bad.txt";
            s.verboselogfile = "verbose.txt";
        });
    }
    std::string Log(const char* name) { return ReadAll(dir + "/" + name); }

    std::string dir;
    in_addr peer{inet_addr("10.1.2.3")};
};

TEST_F(ConsoleTest, ClassesGoToTheirFiles) {
    Configure(1, 0, 1, 1);
    showmessage("accepted\n", peer, mtSuccess, 0);
    showmessage("refused %d\n", peer, mtFailure, 1, 7);
    showmessage("info\n", NoPeer(), mtInfo, 0);
    showmessage("debug\n", peer, mtDebug, 0);

    const std::vector<std::string> ok = Lines(Log("ok.txt"));
    ASSERT_EQ(ok.size(), 1u);
    // [MM/DD/YYYY hh:mm:ss]\t 10.1.2.3\t accepted
    EXPECT_EQ(ok[0].size(), std::string("[12/05/2026 14:03:07]\t 10.1.2.3\t accepted").size());
    EXPECT_EQ(ok[0][0], '[');
    EXPECT_EQ(ok[0][3], '/');
    EXPECT_EQ(ok[0].substr(20), "]\t 10.1.2.3\t accepted");

    const std::vector<std::string> bad = Lines(Log("bad.txt"));
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].substr(20), "]\t 10.1.2.3\t refused 7");

    const std::vector<std::string> all = Lines(Log("verbose.txt"));
    ASSERT_EQ(all.size(), 3u);  // no debug line without debugging
    EXPECT_EQ(all[2].substr(20), "]\t tev\t\t info");
}

TEST_F(ConsoleTest, DebugOnlyWithDebuggingAndPlainTextKeepsPercent) {
    Configure(1, 1, 0, 0);
    const char* plain = "50%d done\n";  // not a format: hasArgs is 0
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"  // the point of the test
    showmessage(plain, peer, mtDebug, 0);
#pragma GCC diagnostic pop
    const std::vector<std::string> all = Lines(Log("verbose.txt"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].substr(20), "]\t 10.1.2.3\t 50%d done");
    EXPECT_EQ(Log("ok.txt"), "");
    EXPECT_EQ(Log("bad.txt"), "");
}

TEST_F(ConsoleTest, SameFileForTwoClassesGetsTheLineTwice) {
    Configure(1, 0, 0, 1);
    TEVSettings.Update([](TTEVSettings& s) { s.badlogfile = "verbose.txt"; });
    showmessage("twice\n", peer, mtFailure, 0);
    EXPECT_EQ(Lines(Log("verbose.txt")).size(), 2u);
}

// A cut message, or one without a line break of its own, still ends its
// line: the next message never glues onto it.
TEST_F(ConsoleTest, EveryLineEndsEvenWhenCut) {
    Configure(1, 0, 0, 0);
    const std::string longText(2000, 'x');
    showmessage("%s\n", peer, mtInfo, 1, longText.c_str());
    showmessage("%s", peer, mtInfo, 1, "no line break");
    showmessage("two breaks\n\n", peer, mtInfo, 0);
    showmessage("next\n", peer, mtInfo, 0);
    const std::vector<std::string> lines = Lines(Log("verbose.txt"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].size(), 510u);  // 511 with its line break
    EXPECT_EQ(lines[0].back(), 'x');
    EXPECT_EQ(lines[1].substr(20), "]\t 10.1.2.3\t no line break");
    EXPECT_EQ(lines[2].substr(20), "]\t 10.1.2.3\t two breaks");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4].substr(20), "]\t 10.1.2.3\t next");
}

// Text a peer chose is written with its control characters escaped, on
// the console and in the logs; a cut never splits an escape.
TEST_F(ConsoleTest, ControlCharactersAreEscaped) {
    Configure(1, 0, 0, 0);
    struct Case {
        std::string text;
        const char* shown;
    } cases[] = {
        {"a\rb", "a\\rb"},
        {"tab\there", "tab\\there"},
        {"bell\x07", "bell\\x07"},
        {"del\x7f esc\x1b[2J", "del\\x7f esc\\x1b[2J"},
        {"inner\nline", "inner\\nline"},
        {"back\\slash", "back\\\\slash"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 stays as it is
    };
    for (const Case& c : cases)
        showmessage("Unknown command \"%s\"\n", peer, mtInfo, 1, c.text.c_str());
    const std::vector<std::string> lines = Lines(Log("verbose.txt"));
    ASSERT_EQ(lines.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_EQ(lines[i].substr(20),
                  std::string("]\t 10.1.2.3\t Unknown command \"") + cases[i].shown + "\"");

    std::system(("rm -f " + dir + "/verbose.txt").c_str());
    showmessage("%s\n", peer, mtInfo, 1, std::string(600, '\x01').c_str());
    const std::string cut = Log("verbose.txt");
    ASSERT_EQ(cut.back(), '\n');
    EXPECT_LE(cut.size(), 511u);
    const std::string tail = cut.substr(cut.rfind('\t') + 2);
    EXPECT_EQ(tail.size() % 4, 1u) << tail;  // whole "\x01" pieces, then the break
    EXPECT_EQ(tail.substr(0, 4), "\\x01");
}

TEST_F(ConsoleTest, ConcurrentLinesNeverInterleave) {
    Configure(1, 0, 0, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; i++)
                showmessage("thread %d line %d %s\n", peer, mtInfo, 1, t, i,
                            std::string(100, char('a' + t)).c_str());
        });
    for (std::thread& t : threads) t.join();
    const std::vector<std::string> lines = Lines(Log("verbose.txt"));
    ASSERT_EQ(lines.size(), 1600u);
    for (const std::string& line : lines) {
        const size_t at = line.find("thread ");
        ASSERT_NE(at, std::string::npos) << line;
        const char mark = char('a' + (line[at + 7] - '0'));
        EXPECT_EQ(line.substr(line.size() - 100), std::string(100, mark)) << line;
    }
}

TEST_F(ConsoleTest, AbsoluteLogNamesAndMissingDirectoriesAreHarmless) {
    Configure(1, 0, 0, 0);
    TEVSettings.Update([this](TTEVSettings& s) { s.verboselogfile = (dir + "/abs.txt").c_str(); });
    showmessage("a\n", peer, mtInfo, 0);
    EXPECT_EQ(Lines(Log("abs.txt")).size(), 1u);
    TEVSettings.Update([](TTEVSettings& s) { s.verboselogfile = "/nonexistent-dir/x.txt"; });
    showmessage("b\n", peer, mtInfo, 0);  // skipped silently
}

}  // namespace
