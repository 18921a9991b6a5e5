#include "platform/filesearch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Entry {
    int attr = 0;
    long long size = 0;
    int time = 0;
    unsigned int mode = 0;
};

// Runs a whole search and collects every entry by name.
std::map<std::string, Entry> SearchAll(const std::string& path, const char* pattern, int attr) {
    std::map<std::string, Entry> out;
    TSearchRec rec;
    for (int r = FindFirst(path.c_str(), pattern, attr, rec); r == 0; r = FindNext(rec))
        out[rec.Name] = Entry{rec.Attr, rec.Size, rec.Time, rec.Mode};
    FindClose(rec);
    return out;
}

std::set<std::string> NamesOf(const std::map<std::string, Entry>& m) {
    std::set<std::string> s;
    for (const auto& kv : m) s.insert(kv.first);
    return s;
}

std::string Join(const std::set<std::string>& s) {
    std::string out;
    for (const auto& n : s) out += (out.empty() ? "" : ",") + n;
    return out;
}

void SetMtime(const std::string& path, long seconds, bool isLink = false) {
    timeval tv[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(isLink ? lutimes(path.c_str(), tv) : utimes(path.c_str(), tv), 0) << path;
}

// Runs fn as the unprivileged user "nobody" when the tests run as root (so
// that write-access checks mean something), else directly. The result
// travels back through a pipe.
std::string RunUnprivileged(const std::function<std::string()>& fn) {
    if (geteuid() != 0) return fn();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const std::string s = fn();
        if (write(fds[1], s.data(), s.size()) != ssize_t(s.size())) _exit(3);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return out;
}

class FileSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_search_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string P(const std::string& name) const { return dir + "/" + name; }
    void MakeFile(const std::string& name, const std::string& content = "") {
        const int fd = open(P(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        close(fd);
    }
    void MakeDir(const std::string& name) { ASSERT_EQ(mkdir(P(name).c_str(), 0755), 0) << name; }
    void MakeLink(const std::string& target, const std::string& name) {
        ASSERT_EQ(symlink(target.c_str(), P(name).c_str()), 0) << name;
    }

    std::string dir;
};

// One entry of each kind: writable file, hidden file, directory, FIFO and
// symbolic links to a file and to a directory.
class MixedDirectoryTest : public FileSearchTest {
  protected:
    void SetUp() override {
        FileSearchTest::SetUp();
        MakeFile("plain", "hello");
        MakeFile(".hidden");
        MakeDir("sub");
        ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
        MakeLink("plain", "link_to_file");
        MakeLink("sub", "link_to_dir");
        MakeLink("nowhere", "dangling");
        SetMtime(P("plain"), 1000000);
    }
};

TEST_F(MixedDirectoryTest, FilterAdmitsOnlyEntriesWhoseBitsAreAccepted) {
    struct Case {
        int attr;
        std::set<std::string> names;
    };
    const Case cases[] = {
        {0, {"plain"}},
        {faHidden, {"plain", ".hidden"}},
        {faSysFile, {"plain", "fifo"}},
        {faDirectory, {"plain", "sub", ".", ".."}},
        {faAnyFile, {"plain", ".hidden", "fifo", "sub", ".", ".."}},
        // Links carry bit 64, which no filter can admit.
        {faAnyFile | faSymLink, {"plain", ".hidden", "fifo", "sub", ".", ".."}},
        {-1, {"plain", ".hidden", "fifo", "sub", ".", ".."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("attr " + std::to_string(c.attr));
        EXPECT_EQ(NamesOf(SearchAll(dir, "*", c.attr)), c.names);
    }
}

TEST_F(MixedDirectoryTest, RecordDescribesTheEntryFound) {
    const auto found = SearchAll(dir, "*", faAnyFile);
    struct Case {
        const char* name;
        int attr;
    };
    const Case cases[] = {
        {"plain", 0},         {".hidden", faHidden}, {"fifo", faSysFile},
        {"sub", faDirectory}, {".", faDirectory},    {"..", faDirectory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(found.count(c.name), 1u);
        // Bit 1 depends on who runs the tests; it has its own test.
        EXPECT_EQ(found.at(c.name).attr & ~faReadOnly, c.attr);
    }
    const Entry& plain = found.at("plain");
    EXPECT_EQ(plain.size, 5);
    EXPECT_EQ(plain.time, 1000000);
    EXPECT_TRUE(S_ISREG(plain.mode));
    EXPECT_TRUE(S_ISFIFO(found.at("fifo").mode));
    EXPECT_TRUE(S_ISDIR(found.at("sub").mode));
}

TEST_F(FileSearchTest, PatternIsCaseSensitiveShellWildcard) {
    for (const char* n : {"a.txt", "b.log", "A.TXT", ".x.txt", "ab.txt", "*star"}) MakeFile(n);
    struct Case {
        const char* pattern;
        std::set<std::string> names;
    };
    const Case cases[] = {
        {"*.txt", {"a.txt", ".x.txt", "ab.txt"}},  // a leading dot is an ordinary character
        {"*.TXT", {"A.TXT"}},
        {"?.*", {"a.txt", "b.log", "A.TXT"}},
        {"[ab].*", {"a.txt", "b.log"}},
        {"\\**", {"*star"}},  // backslash escapes
        {"b.log", {"b.log"}},
        {"nothing*", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(NamesOf(SearchAll(dir, c.pattern, faHidden)), c.names);
    }
}

TEST_F(FileSearchTest, FailedOrEmptySearchesLeaveNothingOpen) {
    MakeFile("file");
    MakeDir("empty");
    struct Case {
        std::string path;
        int attr;
        int result;
    };
    const Case cases[] = {
        {P("missing"), faAnyFile, ENOENT},
        {P("file"), faAnyFile, ENOTDIR},
        {P("empty"), 0, -1},  // "." and ".." are directories: filtered out
        {P("empty") + "/", 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TSearchRec rec;
        EXPECT_EQ(FindFirst(c.path.c_str(), "*", c.attr, rec), c.result);
        EXPECT_EQ(rec.DirHandle, nullptr);
        EXPECT_EQ(FindNext(rec), -1);
        FindClose(rec);
        FindClose(rec);
    }
}

TEST_F(FileSearchTest, SearchKeepsTrailingSlashAndClosesStreamOnExec) {
    MakeFile("f");
    TSearchRec rec;
    ASSERT_EQ(FindFirst(dir.c_str(), "f", 0, rec), 0);
    EXPECT_EQ(rec.Path, (dir + "/").c_str());
    ASSERT_NE(rec.DirHandle, nullptr);
    const int flags = fcntl(dirfd(rec.DirHandle), F_GETFD);
    EXPECT_NE(flags & FD_CLOEXEC, 0);
    FindClose(rec);
    EXPECT_EQ(rec.DirHandle, nullptr);
}

TEST_F(FileSearchTest, EmptyPathSearchesWorkingDirectory) {
    MakeFile("here");
    const std::string saved = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const auto names = NamesOf(SearchAll("", "*", faDirectory));
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "here"}));
}

TEST_F(FileSearchTest, LongestPossibleNameIsReturnedWhole) {
    const std::string longName(255, 'n');
    MakeFile(longName);
    TSearchRec rec;
    ASSERT_EQ(FindFirst(dir.c_str(), "n*", 0, rec), 0);
    EXPECT_EQ(std::string(rec.Name), longName);
    EXPECT_EQ(rec.Name[255], 0);
    FindClose(rec);
}

TEST_F(FileSearchTest, ReadOnlyBitFollowsWriteAccess) {
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    MakeFile("rw");
    MakeFile("ro");
    MakeDir("rwdir");
    MakeDir("rodir");
    ASSERT_EQ(chmod(P("rw").c_str(), 0666), 0);
    ASSERT_EQ(chmod(P("ro").c_str(), 0444), 0);
    ASSERT_EQ(chmod(P("rwdir").c_str(), 0777), 0);
    ASSERT_EQ(chmod(P("rodir").c_str(), 0555), 0);
    struct Case {
        int attr;
        const char* names;
    };
    const Case cases[] = {
        {0, "rw"},
        {faReadOnly, "ro,rw"},
        {faDirectory, "rw,rwdir"},
        {faReadOnly | faDirectory, "ro,rodir,rw,rwdir"},
    };
    const std::string d = dir;
    const std::string got = RunUnprivileged([&] {
        std::string out;
        for (const Case& c : cases) out += Join(NamesOf(SearchAll(d, "[!.]*", c.attr))) + ";";
        return out;
    });
    std::string want;
    for (const Case& c : cases) want += std::string(c.names) + ";";
    EXPECT_EQ(got, want);
}

TEST_F(FileSearchTest, ConcurrentSearchesKeepTheirOwnState) {
    const int kThreads = 4;
    for (int t = 0; t < kThreads; t++) {
        MakeDir("d" + std::to_string(t));
        for (int i = 0; i < 20; i++)
            MakeFile("d" + std::to_string(t) + "/t" + std::to_string(t) + "_" + std::to_string(i));
    }
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            const std::string prefix = "t" + std::to_string(t) + "_";
            for (int round = 0; round < 50; round++) {
                const auto names = NamesOf(SearchAll(P("d" + std::to_string(t)), "*", 0));
                bool ok = names.size() == 20;
                for (const auto& n : names) ok = ok && n.compare(0, prefix.size(), prefix) == 0;
                if (!ok) failures[t]++;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// A tree with known modification times for the path macros.
class PathMacroTest : public FileSearchTest {
  protected:
    void SetUp() override {
        FileSearchTest::SetUp();
        const struct {
            const char* name;
            long time;
        } files[] = {
            {"old.txt", 1000},       {"mid.txt", 2000}, {"new.txt", 3000}, {".hid", 500},
            {"dirA/a1", 100},        {"dirA/a2", 200},  {"dirB/b1", 5000}, {"dirB/b2", 4000},
            {"zero/z1", 50},         {"zero/z0", 0},    {"zero/z2", 60},   {"zero/z3", 70},
            {"special/plain", 6000},
        };
        for (const char* d : {"dirA", "dirB", "empty", "zero", "special"}) MakeDir(d);
        for (const auto& f : files) {
            MakeFile(f.name);
            SetMtime(P(f.name), f.time);
        }
        ASSERT_EQ(mkfifo(P("special/pipe").c_str(), 0644), 0);
        SetMtime(P("special/pipe"), 7000);
        // Links newer than everything else: they must never be chosen.
        MakeLink("new.txt", "link_file");
        MakeLink("dirB", "link_dir");
        SetMtime(P("link_file"), 9999, true);
        SetMtime(P("link_dir"), 9999, true);
        const struct {
            const char* name;
            long time;
        } dirs[] = {
            {"dirA", 1500}, {"dirB", 2500}, {"empty", 1800}, {"zero", 1900}, {"special", 1700}};
        for (const auto& d : dirs) SetMtime(P(d.name), d.time);
        // "." and ".." keep their current, newest times: they must be skipped.
    }
};

TEST_F(PathMacroTest, MacrosResolveLeftToRight) {
    struct Case {
        const char* path;  // relative to the tree
        const char* want;
    };
    const Case cases[] = {
        {"/%newestfile%", "/new.txt"},
        {"/%OldestFile%", "/.hid"},  // hidden entries count
        {"/%NEWESTFOLDER%", "/dirB"},
        {"/%oldestfolder%", "/dirA"},
        {"/%newestfolder%/%oldestfile%", "/dirB/b2"},
        {"/%oldestFolder%/%newestfile%", "/dirA/a2"},
        {"/%newestfolder%/b1", "/dirB/b1"},
        {"/dirA%newestfile%", "/dirAa2"},            // no separator is added
        {"/special/%newestfile%", "/special/pipe"},  // special files count as files
        {"/zero/%oldestfile%", "/zero/z0"},          // a time of 0 is a real time
        {"/zero/%newestfile%", "/zero/z3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const String got = GetFileUsingSpecialMacros((dir + c.path).c_str());
        EXPECT_EQ(std::string(got.Data(), size_t(got.Length())), dir + c.want);
    }
}

TEST_F(PathMacroTest, UnresolvablePathsComeBackUnchanged) {
    const char* const cases[] = {
        "/plain/path.txt",
        "/empty/%newestfile%",
        "/dirA/%newestfolder%",
        "/%newestfolder%/%NewestFolder%",  // the first resolves, the second cannot
        "/missing/%oldestfile%",
        "/%newestfile",
        "/%newest%file%",
    };
    for (const char* c : cases) {
        SCOPED_TRACE(c);
        const String got = GetFileUsingSpecialMacros((dir + c).c_str());
        EXPECT_EQ(std::string(got.Data(), size_t(got.Length())), dir + c);
    }
}

TEST_F(PathMacroTest, LeadingMacroSearchesWorkingDirectory) {
    const std::string saved = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const String got = GetFileUsingSpecialMacros("%newestfile%");
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(got, "new.txt");
}

}  // namespace
