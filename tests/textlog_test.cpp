// Log scanning on files written by the test: line cutting and byte counting,
// the watch state rules, lines completed or appended between and during
// scans, both filters, long lines, offsets past 4 GiB, and a differential
// check against a naive line-by-line reference.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "handlers/exprsearch.h"
#include "handlers/logscan.h"
#include "platform/filepath.h"

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}
String S(const std::string& s) {
    return String(s.data(), int(s.size()));
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

bool WriteAt(const std::string& path, const std::string& data, int flags, off_t at = -1) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) return false;
    const ssize_t n =
        at < 0 ? write(fd, data.data(), data.size()) : pwrite(fd, data.data(), data.size(), at);
    close(fd);
    return n == ssize_t(data.size());
}

class TextLogScan : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_textlog_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/app.log";
    }
    void TearDown() override { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

    void Write(const std::string& content) { ASSERT_TRUE(WriteAt(path, content, O_TRUNC)); }
    void Append(const std::string& content) { ASSERT_TRUE(WriteAt(path, content, O_APPEND)); }

    // A plain-text or expression scan with the state in the fixture.
    long long Scan(const std::string& what, int isExpression, int scanAll, int cs = 1, int ww = 0) {
        return CheckFileForExpression(S(path), S(what), position, lastSize, lastAge, isExpression,
                                      scanAll, cs, ww, line, error, fileSize);
    }

    std::string dir, path;
    long long position = 0, lastSize = 1, lastAge = 1, fileSize = 0;
    String line, error;
};

TEST_F(TextLogScan, LineCuttingAndOffsets) {
    struct Case {
        const char* content;
        long long start;
        const char* what;
        int isExpression, scanAll, cs, ww;
        long long result, position;
        const char* line;
    } cases[] = {
        {"a\nerr x\n", 0, "err", 0, 1, 1, 0, 3, 8, "err x"},
        {"a\r\nerr\r\n", 0, "err", 0, 1, 1, 0, 3, 7, "err"},  // the LF of CR LF is counted later
        {"a\rerr\r", 0, "err", 0, 1, 1, 0, 3, 6, "err"},
        {"\n\n\nx err\n", 0, "err", 0, 1, 1, 0, 3, 9, "x err"},  // empty lines only count
        {"a\nerr", 0, "err", 0, 1, 1, 0, 0, 2, ""},              // an unterminated last line waits
        {"err1\nerr2\n", 0, "err", 0, 0, 1, 0, 1, 5, "err1"},
        {"err1\nerr2\n", 0, "err", 0, 1, 1, 0, 6, 10, "err2"},
        {"abc\n", 0, "err", 0, 1, 1, 0, 0, 4, ""},
        {"a\nerr\n", 2, "err", 0, 1, 1, 0, 3, 6, "err"},
        {"x\nerr\n", 100, "err", 0, 1, 1, 0, 3, 6, "err"},  // past the end: from the start
        {"errors err\n", 0, "err", 0, 1, 1, 1, 8, 11, "errors err"},
        {"ERR\n", 0, "err", 0, 1, 0, 0, 1, 4, "ERR"},
        {"ERR\n", 0, "err", 0, 1, 1, 0, 0, 4, ""},
        {"x b a\nx a\n", 0, "'a' and not 'b'", 1, 1, 1, 0, 7, 10, "x a"},
        {"x\n", 0, "not 'a'", 1, 1, 1, 0, 1, 2, "x"},
        {"a\n", 0, "'a", 1, 1, 1, 0, 0, 2, ""},    // a syntax error matches nothing
        {"a\n", 0, "a\nb", 0, 1, 1, 0, 0, 2, ""},  // a text holding LF is in no line
        {"GET 404\n", 0, "404", 1, 1, 1, 0, 1, 8, "GET 404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " | " + c.what);
        Write(c.content);
        position = c.start;
        lastSize = 1;
        lastAge = 1;
        EXPECT_EQ(Scan(c.what, c.isExpression, c.scanAll, c.cs, c.ww), c.result);
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(Std(line), c.line);
        EXPECT_EQ(Std(error), "");
        EXPECT_EQ(fileSize, (long long)std::string(c.content).size());
        // A match with scan-all 0 leaves size and time for the next request.
        const bool keep = c.result != 0 && !c.scanAll;
        EXPECT_EQ(lastSize, keep ? 1 : fileSize);
        EXPECT_EQ(lastAge, keep ? 1 : FileAge(S(path)));
    }
}

TEST_F(TextLogScan, StateRules) {
    // First request: start at the end, never report what is already there.
    Write(std::string(990, 'x') + "\nerr here\n");
    position = 0, lastSize = 0, lastAge = 0;
    EXPECT_EQ(Scan("err", 0, 1), 0);
    EXPECT_EQ(position, 999);
    EXPECT_EQ(lastSize, 1000);
    EXPECT_EQ(lastAge, FileAge(S(path)));

    // Unchanged size and time: nothing read, nothing changed.
    position = 0;
    EXPECT_EQ(Scan("err", 0, 1), 0);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(lastSize, 1000);

    // New lines after the first request.
    Append("new err\n");
    position = 999, lastSize = 1000, lastAge = FileAge(S(path)) - 1;
    EXPECT_EQ(Scan("err", 0, 1), 999 + 1 + 4);
    EXPECT_EQ(position, 1008);

    // A negative position of a later request cannot be sought.
    position = -5, lastSize = 1, lastAge = 1;
    EXPECT_EQ(Scan("err", 0, 1), -1);
    EXPECT_EQ(Std(error), "fseek error");
    EXPECT_EQ(position, -5);

    position = 0;
    EXPECT_EQ(CheckFileForExpression(S(dir + "/gone.log"), S("err"), position, lastSize, lastAge, 0,
                                     1, 1, 0, line, error, fileSize),
              -1);
    EXPECT_EQ(Std(error), "File \"gone.log\" not found");
}

TEST_F(TextLogScan, LinesCompletedOrReplacedBetweenRequests) {
    Write("a\ner");
    EXPECT_EQ(Scan("err", 0, 1), 0);
    EXPECT_EQ(position, 2);
    Append("r\n");
    lastAge = 1;  // time stamps have a one-second grain
    EXPECT_EQ(Scan("err", 0, 1), 3);
    EXPECT_EQ(position, 6);
    EXPECT_EQ(Std(line), "err");

    // Replaced by a shorter file: scanned again from its start.
    Write("err\n");
    lastAge = 1;
    EXPECT_EQ(Scan("err", 0, 1), 1);
    EXPECT_EQ(position, 4);
}

void AppendLate(void* context, const char* event) {
    if (std::string(event) == "eof")
        WriteAt(*static_cast<std::string*>(context), "err late\n", O_APPEND);
}

TEST_F(TextLogScan, GrowthAfterTheEndWasReadIsScannedNextTime) {
    Write("a\n");
    TTextLogFilter f;
    f.expression = "err";
    f.caseSensitive = 1;
    TLineMatcher m;
    m.Init(f, nullptr);
    TLogScanHooks hooks;
    hooks.onEvent = AppendLate;
    hooks.context = &path;
    int first = 0;
    EXPECT_EQ(ScanTextLog(S(path), m, position, lastSize, lastAge, 1, first, line, error, fileSize,
                          &hooks),
              0);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(lastSize, 2);  // not the size after the late line
    EXPECT_EQ(FileSize(S(path)), 11);
    EXPECT_EQ(Scan("err", 0, 1), 3);
    EXPECT_EQ(position, 11);
}

TEST_F(TextLogScan, TwoFilters) {
    TTextLogFilter alarm, recovery;
    alarm.expression = "'down' and not 'test'";
    alarm.isExpression = 1;
    recovery.expression = "UP";
    recovery.caseSensitive = 0;
    struct Case {
        const char* content;
        int useSecond;
        long long result;
        int matchedFirst;  // starts at 7: left alone without a match
    } cases[] = {
        {"link down\n", 1, 1, 1}, {"link up\n", 1, 6, 0},   {"up down\n", 1, 1, 1},
        {"link up\n", 0, 0, 7},   {"test down\n", 1, 0, 7}, {"down\nup\n", 1, 5 + 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        Write(c.content);
        position = 0, lastSize = 1, lastAge = 1;
        int matchedFirst = 7;
        EXPECT_EQ(CheckFileForExpression2(S(path), position, lastSize, lastAge, alarm, recovery,
                                          c.useSecond, 1, matchedFirst, line, error, fileSize),
                  c.result);
        EXPECT_EQ(matchedFirst, c.matchedFirst);
    }
}

TEST_F(TextLogScan, LongLinesAreCutForTheReplyButSearchedWhole) {
    const std::string longLine = std::string(2000, 'x') + " err";
    Write("a\n" + longLine + "\n");
    EXPECT_EQ(Scan("err", 0, 1), 2 + 2002);
    EXPECT_EQ(Std(line), longLine.substr(0, 1024));

    // Longer than the read block: the text straddles block boundaries.
    for (size_t at : {size_t(1) << 20, (size_t(1) << 20) - 2, (size_t(3) << 20) + 7}) {
        SCOPED_TRACE(at);
        std::string big(4u << 20, 'y');
        big.replace(at, 5, " err ");
        Write("a\n" + big + "\nb\n");
        position = 0, lastAge = 1;
        EXPECT_EQ(Scan("err", 0, 1, 1, 1), 2 + (long long)at + 2);
        EXPECT_EQ(position, (long long)big.size() + 5);
        EXPECT_EQ(Std(line), big.substr(0, 1024));
        position = 0, lastAge = 1;
        EXPECT_EQ(Scan("'err' and not 'zzz'", 1, 1), 3);
    }
    // Lines after a long one fill the block the line ended in.
    std::string many;
    while (many.size() < (2u << 20)) many += "short line\n";
    const std::string after = std::string((3u << 19) + 5, 'z') + "\n" + many;
    Write(after + "last err\n");
    position = 0, lastAge = 1;
    EXPECT_EQ(Scan("err", 0, 1), (long long)after.size() + 6);
    EXPECT_EQ(position, (long long)after.size() + 9);
    EXPECT_EQ(lastSize, position);

    // Still being written: left for later.
    Write("a\n" + std::string(3u << 20, 'e') + "rr");
    position = 0, lastAge = 1;
    EXPECT_EQ(Scan("err", 0, 1), 0);
    EXPECT_EQ(position, 2);
}

TEST_F(TextLogScan, OffsetsPastFourGiB) {
    // Sparse: a hole of zero bytes (one long line) with lines after it.
    const long long hole = (4ll << 30) + (512ll << 20);
    const std::string tail = "\nfirst err\nlast err here\n";
    ASSERT_TRUE(WriteAt(path, "start\n", O_TRUNC));
    ASSERT_TRUE(WriteAt(path, tail, 0, off_t(hole)));
    const long long size = hole + (long long)tail.size();
    position = hole - 1000;
    EXPECT_EQ(Scan("err", 0, 1), hole + 11 + 6);
    EXPECT_EQ(position, size);
    EXPECT_EQ(Std(line), "last err here");
    EXPECT_EQ(fileSize, size);
    EXPECT_EQ(lastSize, size);

    // Starting inside the hole, the zero run is one line streamed through.
    position = (4ll << 30) + 1, lastAge = 1;
    EXPECT_EQ(Scan("err", 0, 0), hole + 1 + 7);
    EXPECT_EQ(position, hole + 11);
    EXPECT_EQ(Std(line), "first err");

    position = 0, lastSize = 0;
    EXPECT_EQ(Scan("err", 0, 1), 0);
    EXPECT_EQ(position, size - 1);
}

TEST_F(TextLogScan, AgreesWithNaiveReference) {
    std::mt19937 rng(5);
    const char* const searches[][2] = {
        {"ab", "0"},
        {"b A", "0"},
        {"x", "0"},
        {"'ab'", "1"},
        {"'ab' or 'x'", "1"},
        {"'ab' and not 'x'", "1"},
        {"not 'b'", "1"},
        {"'a' and ('b' or not 'x')", "1"},
        {"'b' and 'ab'", "1"},
        {"12", "1"},
    };
    const char alphabet[] = "abAB x12\n\n\r ";
    for (int round = 0; round < 154; round++) {
        std::string data(rng() % 3000, ' ');
        for (char& c : data) c = alphabet[rng() % (sizeof alphabet - 1)];
        if (round % 50 == 0) data.insert(data.size() / 2, std::string((2u << 20) + 3, 'a'));
        if (round >= 150) {
            // Several blocks: lines of every length, now and then one longer
            // than a block, so lines and texts straddle block boundaries.
            data.clear();
            while (data.size() < (3u << 20)) {
                const size_t n = rng() % 40 == 0 ? (1u << 20) + rng() % 300000 : rng() % 200;
                for (size_t i = 0; i < n; i++) data += alphabet[rng() % 8];  // no terminators
                data += rng() % 4 ? "\n" : "\r\n";
            }
        }
        Write(data);
        for (const auto& s : searches) {
            const int isExpr = s[1][0] == '1';
            const int cs = int(rng() % 2), ww = int(rng() % 2), all = int(rng() % 2);
            SCOPED_TRACE(std::string(s[0]) + " cs=" + std::to_string(cs) +
                         " ww=" + std::to_string(ww) + " all=" + std::to_string(all) +
                         " round=" + std::to_string(round));
            // Reference: cut the lines by the rules, test each.
            long long refResult = 0, refPos = 0, counted = 0;
            std::string cur, refLine;
            for (char b : data) {
                counted++;
                if (b != '\n' && b != '\r') {
                    cur += b;
                    continue;
                }
                if (cur.empty()) continue;
                const long long before = refPos;
                refPos += counted;
                counted = 0;
                const int m = isExpr ? SearchForExpression(S(cur), S(s[0]), cs, ww)
                                     : S(cur).Search(S(s[0]), cs, ww);
                if (m) {
                    refResult = before + m;
                    refLine = cur.substr(0, 1024);
                }
                cur.clear();
                if (m && !all) break;
            }
            position = 0, lastSize = 1, lastAge = 1;
            ASSERT_EQ(Scan(s[0], isExpr, all, cs, ww), refResult);
            ASSERT_EQ(position, refPos);
            ASSERT_EQ(Std(line), refLine);
        }
    }
}

}  // namespace
