// Content search, file comparison and file CRC against plain references.
#include "handlers/contentsearch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "handlers/filecompare.h"
#include "handlers/filecrc.h"
#include "platform/seqread.h"

namespace {

class ScanFilesHelper : public ::testing::Test {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_scan_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    String Write(const std::string& name, const std::string& content) {
        const std::string path = dir + "/" + name;
        const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        close(fd);
        return String(path.c_str());
    }
    std::string dir;
};
using ScanFiles = ScanFilesHelper;

bool WordByte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

// The whole file in memory, every start position tried.
bool ReferenceFind(const std::string& file, const std::string& text, bool cs, bool ww) {
    for (size_t s = 0; s + text.size() <= file.size(); s++) {
        bool eq = true;
        for (size_t k = 0; k < text.size() && eq; k++)
            eq = cs ? file[s + k] == text[k] : Lower(file[s + k]) == Lower(text[k]);
        if (!eq) continue;
        if (!ww) return true;
        const bool before = s == 0 || !WordByte(file[s - 1]);
        const bool after = s + text.size() == file.size() || !WordByte(file[s + text.size()]);
        if (before && after) return true;
    }
    return false;
}

long long Find(const String& path, const std::string& text, bool cs, bool ww, size_t block) {
    return FindStrInFileBlock(path, String(text.data(), int(text.size())), cs, ww, block);
}

TEST_F(ScanFiles, FindStrInFileKnownCases) {
    struct Case {
        const char* content;
        const char* text;
        bool cs, ww;
        int want;  // sign of the result
    } cases[] = {
        {"concatenate", "cat", true, true, 0},
        {"concatenate", "cat", true, false, 1},
        {"the cat sat", "cat", true, true, 1},
        {"the cat", "CAT", false, false, 1},
        {"the cat", "CAT", true, false, 0},
        {"THE CAT", "cat", false, true, 1},
        {"cat", "cat", true, true, 1},
        {"cats cat", "cat", true, true, 1},  // rejected first, accepted later
        {"cat_", "cat", true, true, 1},      // '_' is not a letter or digit
        {"1cat", "cat", true, true, 0},
        {"ca", "cat", true, false, 0},  // text longer than the file
        {"", "cat", true, false, 0},
        {"abc", "", true, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " / " + c.text);
        const String path = Write("f", c.content);
        const long long r = FindStrInFile(path, c.text, c.cs, c.ww);
        EXPECT_EQ((r > 0) - (r < 0), c.want);
    }
    EXPECT_EQ(FindStrInFile((dir + "/missing").c_str(), "x", true, false), -1);
    EXPECT_EQ(FindStrInFile("", "x", true, false), -1);
}

// Every placement of a word between word or non-word neighbours, read with
// every small block size, so each occurrence starts, ends and straddles a
// boundary somewhere, at the file's start and end included.
TEST_F(ScanFiles, FindStrInFileAtEveryBoundary) {
    const std::string texts[] = {"cat", "Cat", "catalogue", "c"};
    const char fills[] = {' ', 'x', '.', 'C'};
    for (const std::string& text : texts) {
        for (char fill : fills) {
            for (size_t at = 0; at + text.size() <= 24; at++) {
                std::string content(24, fill);
                content.replace(at, text.size(), text);
                const String path = Write("b", content);
                for (int flags = 0; flags < 4; flags++) {
                    const bool cs = flags & 1, ww = flags & 2;
                    const bool want = ReferenceFind(content, text, cs, ww);
                    for (size_t block = 1; block <= 12; block++) {
                        SCOPED_TRACE(content + " / " + text + " block " + std::to_string(block));
                        EXPECT_EQ(Find(path, text, cs, ww, block) > 0, want);
                    }
                }
            }
        }
    }
}

TEST_F(ScanFiles, FindStrInFileAgreesWithReferenceOnRandomFiles) {
    std::mt19937 rng(7);
    const char alphabet[] = "abcAB .";
    auto randomText = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; i++) s += alphabet[rng() % (sizeof alphabet - 1)];
        return s;
    };
    for (int round = 0; round < 300; round++) {
        const std::string content = randomText(rng() % 200);
        const String path = Write("r", content);
        for (int k = 0; k < 4; k++) {
            const std::string text = randomText(1 + rng() % 4);
            for (int flags = 0; flags < 4; flags++) {
                const bool cs = flags & 1, ww = flags & 2;
                const bool want = ReferenceFind(content, text, cs, ww);
                for (size_t block :
                     {size_t(1), size_t(3), size_t(7), size_t(64), kSearchBlockSize}) {
                    SCOPED_TRACE(content + " / " + text + " block " + std::to_string(block));
                    EXPECT_EQ(Find(path, text, cs, ww, block) > 0, want);
                }
            }
        }
    }
}

// The real block size: a word touched by letters across the boundary is
// not a whole word; one bounded by spaces is.
TEST_F(ScanFiles, FindStrInFileAroundRealBlockBoundaries) {
    const size_t B = kSearchBlockSize;
    const std::string text = "boundary";
    for (size_t edge : {B, 2 * B}) {
        for (long d = -long(text.size()) - 2; d <= 2; d++) {
            for (char neighbour : {'z', ' '}) {
                std::string content(2 * B + 100, '-');
                const size_t at = size_t(long(edge) + d);
                content[at - 1] = neighbour;
                content.replace(at, text.size(), text);
                content[at + text.size()] = neighbour;
                const String path = Write("big", content);
                SCOPED_TRACE(std::to_string(edge) + std::to_string(d) + neighbour);
                EXPECT_EQ(FindStrInFile(path, text.c_str(), true, true) > 0, neighbour == ' ');
                EXPECT_GT(FindStrInFile(path, "BOUNDARY", false, false), 0);
            }
        }
    }
}

TEST(FindBytes, AgreesWithStringFind) {
    std::mt19937 rng(11);
    for (int round = 0; round < 5000; round++) {
        std::string hay(rng() % 120, 'a');
        for (char& c : hay) c = char('a' + rng() % 3);
        std::string needle(1 + rng() % 6, 'a');
        for (char& c : needle) c = char('a' + rng() % 3);
        const size_t want = hay.find(needle);
        const long long got = FindBytes(hay.data(), hay.size(), needle.data(), needle.size());
        ASSERT_EQ(got, want == std::string::npos ? -1 : (long long)want) << hay << " / " << needle;
    }
}

TEST(LowerAscii, LowersOnlyAsciiCapitals) {
    std::string all;
    for (int c = 0; c < 256; c++) all += char(c);
    all += all;  // past the sixteen-byte steps
    std::string want = all;
    for (char& c : want) c = Lower(c);
    LowerAscii(&all[0], all.size());
    EXPECT_EQ(all, want);
}

TEST_F(ScanFiles, FindFileInFile) {
    const String big = Write("big", std::string(kSearchBlockSize - 3, '.') + "needle in hay");
    struct Case {
        std::string second;
        long long want;
    } cases[] = {{"", 1}, {"needle in", 1}, {"needle  in", 0}, {"NEEDLE", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second);
        const long long r = FindFileInFile(big, Write("second", c.second));
        EXPECT_EQ((r > 0) - (r < 0), c.want);
    }
    EXPECT_EQ(FindFileInFile(big, (dir + "/missing").c_str()), -1);
    EXPECT_EQ(FindFileInFile(big, ""), -1);
    const String huge = Write("huge", std::string(size_t(kMaxSearchFileSize) + 1, 'h'));
    EXPECT_EQ(FindFileInFile(big, huge), -1);
}

// A second file that reports size 0 but has content (the kernel's
// pseudo-files) is searched for its content, not taken as empty.
TEST_F(ScanFiles, FindFileInFileReadsAPseudoFile) {
    const char* ostype = "/proc/sys/kernel/ostype";  // "Linux\n", size 0
    struct Case {
        std::string first;
        long long want;
    } cases[] = {{"a Linux\nbox", 3}, {"no such word", 0}, {"Linux", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(FindFileInFile(Write("first", c.first), ostype), c.want);
    }
}

TEST_F(ScanFiles, CompareFilesOverTheCommonLength) {
    const size_t B = kScanBlockSize;
    std::string base(2 * B + 10, 'q');
    for (size_t i = 0; i < base.size(); i++) base[i] = char('a' + i % 23);
    auto flipped = [&](size_t at) {
        std::string s = base;
        s[at] ^= 1;
        return s;
    };
    struct Case {
        const char* what;
        std::string other;
        int want;
    } cases[] = {
        {"equal", base, 1},
        {"prefix", base.substr(0, B + 5), 1},
        {"block-long prefix", base.substr(0, B), 1},
        {"empty", "", 1},
        {"first byte", flipped(0), 0},
        {"last of block", flipped(B - 1), 0},
        {"first of block", flipped(B), 0},
        {"last byte", flipped(base.size() - 1), 0},
    };
    const String one = Write("one", base);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const String other = Write("other", c.other);
        EXPECT_EQ(CompareFiles(one, other), c.want);
        EXPECT_EQ(CompareFiles(other, one), c.want);
    }
    EXPECT_EQ(CompareFiles(one, (dir + "/missing").c_str()), -1);
    EXPECT_EQ(CompareFiles("", one), -1);
}

// Bit by bit, as zlib's crc32 computes it, but without the final
// complement (the register the agent reports).
unsigned int ReferenceRegister(const std::string& data) {
    unsigned int crc = 0xFFFFFFFFu;
    for (unsigned char b : data) {
        crc ^= b;
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

// Random contents of each size give the register zlib's crc32 keeps
// (before its final complement).
void ExpectFileCRCs(ScanFilesHelper& files, std::initializer_list<size_t> sizes) {
    std::mt19937 rng(3);
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string data(size, 0);
        for (char& c : data) c = char(rng());
        unsigned int crc = 0;
        String error;
        ASSERT_TRUE(GetFileCRC(files.Write("crc", data), crc, error));
        EXPECT_EQ(crc, ReferenceRegister(data));
    }
}

TEST_F(ScanFiles, FileCRCAgreesWithTheRegisterAroundBlockBoundaries) {
    ASSERT_EQ(ReferenceRegister("123456789"), ~0xCBF43926u);  // zlib's check value
    const size_t B = kCrcBlockSize;
    ExpectFileCRCs(*this, {0, 1, 2047, 2048, 2049, B - 1, B, B + 1, 2 * B + 17});
}

// Above kCrcSplitSize the halves are checksummed on two threads at once.
TEST_F(ScanFiles, FileCRCInConcurrentHalves) {
    const size_t B = kCrcBlockSize, R = size_t(kCrcSplitSize);
    ExpectFileCRCs(*this, {R, R + 1, R + B, R + B + 1, 3 * R + 5});
}

TEST(JoinCRC, JoinsTheRegistersOfTwoParts) {
    const std::string text = "The quick brown fox jumps over the lazy dog";
    for (size_t cut = 0; cut <= text.size(); cut++) {
        const std::string a = text.substr(0, cut), b = text.substr(cut);
        EXPECT_EQ(JoinCRC(ReferenceRegister(a), ReferenceRegister(b), (long long)b.size()),
                  ReferenceRegister(text))
            << cut;
    }
}

TEST_F(ScanFiles, FileCRCFailures) {
    struct Case {
        std::string name;
        const char* error;
    } cases[] = {
        {"", "File is not specified"},
        {dir + "/missing", "Cannot open file"},
        {dir, "Read error"},  // a folder opens but cannot be read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned int crc = 7;
        String error;
        EXPECT_FALSE(GetFileCRC(c.name.c_str(), crc, error));
        EXPECT_TRUE(error == c.error);
        EXPECT_EQ(crc, 7u);
    }
}

}  // namespace
