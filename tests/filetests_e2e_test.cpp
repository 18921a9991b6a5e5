// File tests, file comparison and the file list end to end: the real agent
// on a loopback port, asked by the client about a fixture tree.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "deep_tree.h"

namespace {

using Lines = std::vector<std::string>;

Lines Split(const std::string& out) {
    Lines lines;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string I64(long long v) {
    char buf[40];
    snprintf(buf, sizeof buf, "%6lld", v);
    return buf;
}

std::string TimeText(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%d%m%Y%H%M%S", &tm);
    return buf;
}

const char* const kAllRights =
    "unc=1\nfoldersize=1\nfileexists=1\nfilecrc=1\ncountfiles=1\ncomparefiles=1\n";
const char* const kNoFileRights =
    "unc=0\nfoldersize=0\nfileexists=0\nfilecrc=0\ncountfiles=0\ncomparefiles=0\n";

// The fixture tree, made once for the whole suite:
//   a.txt (100 bytes, 3 h old)   b.log (3 x 2048 bytes, 10 min old)
//   empty.txt   .hidden.txt (7)   fifo   link_file -> a.txt   link_dir -> sub
//   sub/ c.log (50), deeper/ d.log (25)    .hdir/ e.log (11)
//   rodir/ (mode 0555) f.log (13)
class FileTestsE2E : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/tev_files_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        now = time(nullptr);
        Put("a.txt", std::string(100, 'a'), now - 3 * 3600);
        std::string b;
        for (int i = 0; i < 3 * 2048; i++) b += char('0' + i % 71);
        Put("b.log", b, now - 600);
        Put("empty.txt", "", now - 60);
        Put(".hidden.txt", "hidden!", now - 60);
        ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
        SetTime("fifo", now - 60);
        ASSERT_EQ(symlink("a.txt", P("link_file").c_str()), 0);
        ASSERT_EQ(symlink("sub", P("link_dir").c_str()), 0);
        ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
        Put("sub/c.log", std::string(50, 'c'), now - 60);
        ASSERT_EQ(mkdir(P("sub/deeper").c_str(), 0755), 0);
        Put("sub/deeper/d.log", std::string(25, 'd'), now - 60);
        ASSERT_EQ(mkdir(P(".hdir").c_str(), 0755), 0);
        Put(".hdir/e.log", std::string(11, 'e'), now - 60);
        ASSERT_EQ(mkdir(P("rodir").c_str(), 0755), 0);
        Put("rodir/f.log", std::string(13, 'f'), now - 60);
        ASSERT_EQ(chmod(P("rodir").c_str(), 0555), 0);
        SetTime("sub", now - 100);  // the newest folder
        SetTime(".hdir", now - 5000);
        SetTime("rodir", now - 4000);
        roReadOnly = access(P("rodir").c_str(), W_OK) != 0;
        agent = new AgentHarness;
        ASSERT_TRUE(agent->Start(kAllRights)) << agent->Output();
    }
    static void TearDownTestSuite() {
        delete agent;
        agent = nullptr;
        chmod(P("rodir").c_str(), 0755);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    static std::string P(const std::string& name) { return root + "/" + name; }
    static void SetTime(const std::string& name, time_t t) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, P(name).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << name;
    }
    static void Put(const std::string& name, const std::string& content, time_t t) {
        ASSERT_FALSE(WriteFile(P(name), content).empty()) << name;
        SetTime(name, t);
    }
    static Lines Ask(const std::vector<std::string>& args) {
        return Split(RunCtl(*agent, args).out);
    }

    static std::string root;
    static time_t now;
    static bool roReadOnly;
    static AgentHarness* agent;
};

std::string FileTestsE2E::root;
time_t FileTestsE2E::now;
bool FileTestsE2E::roReadOnly;
AgentHarness* FileTestsE2E::agent;

TEST_F(FileTestsE2E, DisabledRightsRefuse) {
    AgentHarness off;
    ASSERT_TRUE(off.Start(std::string(kNoFileRights) + "textlog=0\n")) << off.Output();
    const std::vector<std::vector<std::string>> requests = {
        {"TEST-UNC", "/"},
        {"TEST-FolderSize", root},
        {"TEST-FileExists", P("a.txt")},
        {"TEST-FileCRC", P("a.txt")},
        {"TEST-CountFiles", root, "*"},
        {"TEST-FileCompare", "3", P("a.txt"), "a"},
        {"GetFilesList", root},
    };
    for (const auto& req : requests) {
        SCOPED_TRACE(req[0]);
        EXPECT_EQ(Split(RunCtl(off, req).out), (Lines{"600", "test is not allowed"}));
    }
}

TEST_F(FileTestsE2E, GetFilesListNeedsOnlyOneFileRight) {
    AgentHarness one;
    ASSERT_TRUE(one.Start(std::string(kNoFileRights) + "textlog=1\n")) << one.Output();
    EXPECT_EQ(Split(RunCtl(one, {"GetFilesList", P("sub"), "*", "0", "1"}).out),
              (Lines{"200", P("sub/"), "1", "2", "c.log", "0"}));
}

TEST_F(FileTestsE2E, UNC) {
    const Lines rootAnswer = Ask({"TEST-UNC", "/"});
    ASSERT_EQ(rootAnswer.size(), 4u);
    EXPECT_EQ(rootAnswer[0], "200");
    const long long total = std::stoll(rootAnswer[1]), free = std::stoll(rootAnswer[2]),
                    avail = std::stoll(rootAnswer[3]);
    EXPECT_GE(total, free);
    EXPECT_GE(free, avail);
    struct statfs fs;
    ASSERT_EQ(statfs("/", &fs), 0);
    EXPECT_EQ(total, (long long)fs.f_blocks * (long long)fs.f_bsize);
    const Lines slash = Ask({"TEST-UNC", "/\\"});
    ASSERT_EQ(slash.size(), 4u);
    EXPECT_EQ(slash[1], rootAnswer[1]);
    EXPECT_EQ(Ask({"TEST-UNC", P("missing")}), (Lines{"301", "No such file or directory"}));
    EXPECT_EQ(Ask({"TEST-UNC", ""}), (Lines{"501", "Path not specified"}));
    EXPECT_EQ(Ask({"TEST-UNC", "\\"}), (Lines{"501", "Path not specified"}));
}

TEST_F(FileTestsE2E, FolderSize) {
    const long long ro = 13;
    struct Case {
        std::string path, recursive, macros;
        Lines want;
    } cases[] = {
        // Files, the hidden one, the empty one and the FIFO; never the links.
        {root, "0", "0", {"200", I64(100 + 6144 + 0 + 7 + 0)}},
        {root, "1", "0", {"200", I64(6251 + 50 + 25 + 11 + ro)}},
        {P("*.log"), "1", "0", {"200", I64(6144 + 50 + 25 + 11 + ro)}},
        {P("*.log"), "0", "0", {"200", I64(6144)}},
        {P("nothing.zzz"), "1", "0", {"200", I64(0)}},
        {P("%newestfolder%"), "1", "1", {"200", I64(75)}},
        {P("%newestfolder%"), "1", "0", {"200", I64(0)}},
        {P("missing/x"), "1", "0", {"301", "Folder/File doesn`t exist or access denied"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.recursive + c.macros);
        EXPECT_EQ(Ask({"TEST-FolderSize", c.path, c.recursive, "", "", "", "", "", c.macros}),
                  c.want);
    }
}

// First regular or special non-folder entry matching "*.txt", in directory
// order, as the agent's search sees it.
std::string FirstTxt(const std::string& dir) {
    std::string first;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 4 && n.substr(n.size() - 4) == ".txt" && e->d_type != DT_LNK &&
            e->d_type != DT_DIR) {
            first = n;
            break;
        }
    }
    closedir(d);
    return first;
}

// The age in minutes is judged against the clock just before and just
// after the request, so a minute turning in between does not matter.
TEST_F(FileTestsE2E, FileExists) {
    auto found = [](const std::string& name) {
        struct stat st;
        EXPECT_EQ(lstat(name.c_str(), &st), 0);
        return Lines{"200",
                     I64(st.st_size),
                     TimeText(st.st_ctime),
                     TimeText(st.st_mtime),
                     name,
                     "min",
                     std::to_string((long)st.st_mtime)};
    };
    const std::string firstTxt = P(FirstTxt(root));
    const Lines none = {"301", "no such file or acess denied"};
    struct Case {
        std::string name, macros;
        Lines want;  // for "200": the last line holds the mtime, not the age
    } cases[] = {
        {P("a.txt"), "0", found(P("a.txt"))},
        {P("sub"), "0", found(P("sub"))},              // a folder passes
        {P("link_file"), "0", found(P("link_file"))},  // the link itself
        {P("*.txt"), "0", found(firstTxt)},
        {P("%oldestfile%"), "1", found(P("a.txt"))},
        {P("missing"), "0", none},
        {P("*.none"), "0", none},
        {"", "0", none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const time_t before = time(nullptr);
        Lines got = Ask({"TEST-FileExists", c.name, "", "", "", "", "", c.macros});
        const time_t after = time(nullptr);
        Lines want = c.want;
        if (want.size() == 7 && got.size() == 7) {
            const long mtime = std::stol(want[6]);
            const std::string early = std::to_string((before - mtime) / 60);
            const std::string late = std::to_string((after - mtime) / 60);
            EXPECT_TRUE(got[6] == early || got[6] == late) << got[6];
            want.pop_back();
            got.pop_back();
        }
        EXPECT_EQ(got, want);
    }
}

unsigned int Register(const std::string& data) {
    unsigned int crc = 0xFFFFFFFFu;
    for (unsigned char b : data) {
        crc ^= b;
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST_F(FileTestsE2E, FileCRC) {
    struct Case {
        std::string name;
        Lines want;
    } cases[] = {
        {P("empty.txt"), {"200", I64(4294967295LL)}},
        {P("b.log"), {"200", I64(Register(agent_harness_detail::ReadWholeFile(P("b.log"))))}},
        {P("a.txt"), {"200", I64(Register(std::string(100, 'a')))}},
        {P("missing"), {"301", "Cannot open file"}},
        {"", {"301", "File is not specified"}},
        {P("sub"), {"301", "Read error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Ask({"TEST-FileCRC", c.name}), c.want);
    }
}

TEST_F(FileTestsE2E, CountFiles) {
    const int ro = roReadOnly ? 0 : 1;
    struct Case {
        std::string folder, mask, recursive, mode, limit, macros;
        Lines want;
    } cases[] = {
        {root, "*", "0", "0", "", "0", {"200", "5"}},                     // links never count
        {root, "*", "1", "0", "", "0", {"200", std::to_string(7 + ro)}},  // no hidden folder
        {root, "*.log", "1", "0", "0", "0", {"200", std::to_string(3 + ro)}},
        {root, "*", "0", "1", "60", "0", {"200", "1"}},   // older than an hour
        {root, "*", "0", "2", "60", "0", {"200", "4"}},   // newer than an hour
        {root, "*", "0", "3", "100", "0", {"200", "1"}},  // bigger than 100 bytes
        {root, "*", "0", "4", "100", "0", {"200", "3"}},  // smaller than 100 bytes
        {root, "*", "0", "5", "", "0", {"200", "3"}},     // sub-folders, hidden too
        {root, "*", "1", "5", "", "0", {"200", "4"}},
        {root, "s*", "0", "5", "", "0", {"200", "1"}},
        {root, "*.none", "0", "0", "", "0", {"200", "0"}},
        {P("%newestfolder%"), "*", "0", "0", "", "1", {"200", "1"}},
        {P("missing"), "*", "0", "0", "", "0", {"301", "Folder doesn`t exist or access denied"}},
        {P("missing"), "*", "1", "0", "", "0", {"301", "Folder doesn`t exist or access denied"}},
        {root, "*", "0", "6", "", "0", {"501", "Wrong parameter"}},
        {root, "*", "0", "-1", "", "0", {"501", "Wrong parameter"}},
        {root, "*", "0", "0", "12a", "0", {"501", "Wrong parameter"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.mask + " r" + c.recursive + " m" + c.mode + " l" + c.limit);
        EXPECT_EQ(Ask({"TEST-CountFiles", c.folder, c.mask, c.recursive, c.mode, c.limit, "", "",
                       "", "", "", c.macros}),
                  c.want);
    }
}

TEST_F(FileTestsE2E, FileCompare) {
    char tmpl[] = "/tmp/tev_cmp_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string cmp = tmpl;
    auto C = [&](const char* name) { return cmp + "/" + name; };
    const std::string a = P("a.txt");
    const std::string longer = WriteFile(C("cmp_longer"), std::string(100, 'a') + "tail");
    const std::string other = WriteFile(C("cmp_other"), std::string(99, 'a') + "b");
    const std::string words = WriteFile(C("cmp_words"), "the cat sat");
    const std::string concat = WriteFile(C("cmp_concat"), "concatenate");
    const std::string limit = WriteFile(C("cmp_8m"), std::string(8388608, 'z'));
    const std::string over = WriteFile(C("cmp_8m1"), std::string(8388609, 'z'));
    const std::string needle = WriteFile(C("cmp_needle"), std::string(40, 'a'));
    const std::string empty = P("empty.txt");
    const Lines yes = {"200", "1"}, no = {"200", "0"}, missing = {"301", "File doesn`t exist"};
    struct Case {
        const char* what;
        std::vector<std::string> params;
        Lines want;
    } cases[] = {
        {"prefix, content only", {"1", a, longer, "0", "0", "1"}, yes},
        {"prefix, with size", {"1", a, longer, "0", "1", "1"}, no},
        {"different content", {"1", a, other, "0", "0", "1"}, no},
        {"different time", {"1", a, longer, "1", "0", "0"}, no},
        {"no checks", {"1", a, other, "0", "0", "0"}, yes},
        {"second missing", {"1", a, P("missing"), "0", "0", "1"}, missing},
        {"second macro",
         {"1", a, P("%oldestfile%"), "0", "0", "1", "", "", "", "", "", "", "1"},
         yes},
        {"8 MiB exactly", {"2", a, limit}, no},
        {"over 8 MiB", {"2", a, over}, {"301", "The size of the second file cannot exceed 8Mb"}},
        {"empty second file", {"2", a, empty}, yes},
        {"content found", {"2", a, needle}, yes},
        {"whole word in a longer word", {"3", concat, "cat", "1", "1"}, no},
        {"whole word", {"3", words, "cat", "1", "1"}, yes},
        {"part of a word", {"3", concat, "cat", "1", "0"}, yes},
        {"case-insensitive", {"3", words, "CAT", "0", "0"}, yes},
        {"case-sensitive", {"3", words, "CAT", "1", "0"}, no},
        {"unknown mode", {"4", a}, {"501", "Wrong parameter"}},
        {"unknown mode, missing file", {"4", P("missing")}, missing},
        {"folder as first file", {"3", P("sub"), "x", "1", "0"}, missing},
        {"first file by macro",
         {"3", P("%oldestfile%"), "aaa", "1", "0", "", "", "", "", "", "1"},
         yes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"TEST-FileCompare"};
        args.insert(args.end(), c.params.begin(), c.params.end());
        EXPECT_EQ(Ask(args), c.want);
    }
    std::error_code ec;
    std::filesystem::remove_all(cmp, ec);
}

// Entries of a GetFilesList answer with two values each, by name.
std::set<std::string> Names(const Lines& lines, size_t per = 2) {
    std::set<std::string> names;
    for (size_t i = 4; i + per <= lines.size(); i += per) names.insert(lines[i]);
    return names;
}

TEST_F(FileTestsE2E, GetFilesList) {
    const std::string dir = root + "/";
    // Folders first (".." but not "."), then every file, hidden and special too.
    const Lines all = Ask({"GetFilesList", root, "", "1", "1", "1", "1"});
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ((Lines{all[0], all[1], all[2], all[3]}), (Lines{"200", dir, "9", "2"}));
    std::set<std::string> folders, files;
    for (size_t i = 4; i + 1 < all.size(); i += 2) {
        const int attr = std::stoi(all[i + 1]);
        ((attr & 16) ? folders : files).insert(all[i]);
        if (i > 4 && (attr & 16)) {
            EXPECT_NE(std::stoi(all[i - 1]) & 16, 0) << "folder after a file";
        }
    }
    EXPECT_EQ(folders, (std::set<std::string>{"..", ".hdir", "rodir", "sub"}));
    EXPECT_EQ(files, (std::set<std::string>{"a.txt", "b.log", "empty.txt", ".hidden.txt", "fifo"}));
    for (size_t i = 4; i + 1 < all.size(); i += 2) {
        const std::string& n = all[i];
        const int want = n == "fifo"          ? 4
                         : n == ".hidden.txt" ? 2
                         : n == ".hdir"       ? 16 + 2
                         : n == "rodir"       ? 16 + (roReadOnly ? 1 : 0)
                         : folders.count(n)   ? 16
                                              : 0;
        EXPECT_EQ(all[i + 1], std::to_string(want)) << n;
    }

    // Hidden and special entries left out; files by mask.
    EXPECT_EQ(Names(Ask({"GetFilesList", root, "*", "1", "1", "0", "0"})),
              (std::set<std::string>{"..", "rodir", "sub", "a.txt", "b.log", "empty.txt"}));
    EXPECT_EQ(Names(Ask({"GetFilesList", root, "*.log", "0", "1", "1", "1"})),
              (std::set<std::string>{"b.log"}));

    // Values per entry and their order: name, attributes, size, ctime, mtime.
    struct stat st;
    ASSERT_EQ(lstat(P("b.log").c_str(), &st), 0);
    EXPECT_EQ(Ask({"GetFilesList", root, "b.log", "0", "1", "0", "0", "1", "1", "1"}),
              (Lines{"200", dir, "1", "5", "b.log", "0", I64(6144), TimeText(st.st_ctime),
                     TimeText(st.st_mtime)}));
    EXPECT_EQ(Ask({"GetFilesList", root, "b.log", "0", "1", "0", "0", "0", "0", "1"}),
              (Lines{"200", dir, "1", "3", "b.log", "0", TimeText(st.st_mtime)}));

    // Normalisation of the folder.
    EXPECT_EQ(Ask({"GetFilesList", P("sub/c.log"), "*", "0", "1"}),
              (Lines{"200", P("sub/"), "1", "2", "c.log", "0"}));
    EXPECT_EQ(Ask({"GetFilesList", P("missing/"), "*", "1", "1"}),
              (Lines{"200", P("missing/"), "0", "2"}));
    EXPECT_EQ(Ask({"GetFilesList", P("sub/missing"), "*", "0", "1"}),
              (Lines{"200", P("sub/"), "1", "2", "c.log", "0"}));
    const Lines rootList = Ask({"GetFilesList", "", "*", "1", "0"});
    ASSERT_GE(rootList.size(), 2u);
    EXPECT_EQ(rootList[1], "/");
}

// A tree far deeper than the descriptors of a walk: answered whole, and
// the agent keeps serving.
TEST_F(FileTestsE2E, DeepTree) {
    char tmpl[] = "/tmp/tev_deep_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string deep = tmpl;
    const int levels = 3000;
    ASSERT_TRUE(deep_tree::Make(deep, levels));
    EXPECT_EQ(Ask({"TEST-CountFiles", deep, "*", "1", "0"}),
              (Lines{"200", std::to_string(levels + 1)}));
    EXPECT_EQ(Ask({"TEST-FolderSize", deep, "1"}), (Lines{"200", I64(levels + 1)}));
    deep_tree::Remove(deep);
    unlink((deep + "/f").c_str());
    rmdir(deep.c_str());
    EXPECT_EQ(Ask({"TEST-CountFiles", root, "*", "0", "0"}), (Lines{"200", "5"}));
}

}  // namespace
