// Folder sizes and file counts: cases the wire tests cannot reach (the
// unprivileged recursion filter, a mask naming a folder) and trees deeper
// than the descriptors a walk may hold.
#include "handlers/folderwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "deep_tree.h"
#include "platform/dirwalk.h"

namespace {

int OpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// Runs fn in a child process (as "nobody" when asUser) and returns what it
// returned; -1000 when the child failed.
long long InChild(const std::function<long long()>& fn, bool asUser, rlim_t maxFiles = 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1000;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (asUser && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        if (maxFiles != 0) {
            struct rlimit rl = {maxFiles, maxFiles};
            if (setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(3);
        }
        const long long r = fn();
        if (write(fds[1], &r, sizeof r) != ssize_t(sizeof r)) _exit(4);
        _exit(0);
    }
    close(fds[1]);
    long long r = -1000;
    if (read(fds[0], &r, sizeof r) != ssize_t(sizeof r)) r = -1000;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? r : -1000;
}

class FolderWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_walk_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        chmod(dir.c_str(), 0777);  // reachable for the unprivileged child
    }
    void TearDown() override {
        deep_tree::Remove(dir);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string P(const std::string& name) const { return dir + "/" + name; }
    void File(const std::string& name, size_t size) {
        const int fd = open(P(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(write(fd, std::string(size, 'z').data(), size), ssize_t(size));
        close(fd);
    }
    void Dir(const std::string& name, mode_t mode = 0777) {
        ASSERT_EQ(mkdir(P(name).c_str(), mode), 0) << name;
        chmod(P(name).c_str(), mode);
    }
    std::string dir;
};

// In a sub-folder, a mask that names a folder makes that folder count whole.
TEST_F(FolderWalk, MaskNamingAFolderInASubFolder) {
    File("x.log", 1);
    Dir("sub");
    File("sub/y", 10);
    Dir("sub/x.log");
    File("sub/x.log/a", 100);
    File("sub/x.log/b", 1000);
    EXPECT_EQ(GetFolderSize(P("x.log").c_str(), true), 1 + 1100);
    EXPECT_EQ(GetFolderSize(P("x.log").c_str(), false), 1);
}

// The sub-folders of the starting folder are walked by two threads at once;
// each share sums its own sub-folders, mask-named folders included.
TEST_F(FolderWalk, FolderSizeInConcurrentShares) {
    long long all = 0, logs = 0;
    for (int i = 0; i < 7; i++) {
        const std::string sub = "s" + std::to_string(i);
        Dir(sub);
        Dir(sub + "/inner");
        File(sub + "/a.log", size_t(10 + i));
        File(sub + "/inner/b.txt", size_t(100 * i));
        all += 10 + i + 100 * i;
        logs += 10 + i;
    }
    Dir("s1/x.log");  // in s1 the mask names a folder: s1 counts as that folder
    File("s1/x.log/c", 1000);
    File("x.log", 5);
    EXPECT_EQ(GetFolderSize(dir.c_str(), true), all + 1000 + 5);
    EXPECT_EQ(GetFolderSize(P("*.log").c_str(), true), logs + 5);
    EXPECT_EQ(GetFolderSize(P("x.log").c_str(), true), 5 + 1000);
}

// The recursion enters only folders the agent may write; a starting folder
// where none (".", ".." included) passes fails the recursive count.
TEST_F(FolderWalk, RecursionSkipsReadOnlyFoldersForAnUnprivilegedAgent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    Dir("open");
    File("open/a", 1);
    File("open/b", 1);
    Dir("ro", 0555);
    File("ro/c", 1);
    Dir("ro/inner", 0777);
    File("ro/inner/d", 1);
    Dir("open/.hidden");
    File("open/.hidden/e", 1);
    const String root = dir.c_str();
    const String ro = P("ro").c_str();
    struct Case {
        const char* what;
        String folder;
        const char* mask;
        bool recursive;
        long long want;
    } cases[] = {
        {"open and ro/inner", root, "*", true, 2},  // ro is not entered
        {"inside ro", ro, "*", true, 2},            // "." fails but ro/inner passes
        {"ro/inner only", P("ro/inner").c_str(), "*", true, 1},
        {"no match, ro", ro, "*.none", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(
            InChild([&] { return (long long)CountFiles(c.folder, c.mask, c.recursive, 0, 0); },
                    true),
            c.want);
    }
    // A read-only folder holding nothing writable, under a read-only parent.
    Dir("ro/locked", 0555);
    chmod(ro.Data(), 0555);
    const String locked = P("ro/locked").c_str();
    EXPECT_EQ(InChild([&] { return (long long)CountFiles(locked, "*", true, 0, 0); }, true), -1);
    EXPECT_EQ(InChild([&] { return (long long)CountFiles(locked, "*.none", false, 0, 0); }, true),
              -1);
    EXPECT_EQ(InChild([&] { return (long long)CountFiles(locked, "*", false, 0, 0); }, true), 0);
}

// A chain of thousands of levels is walked whole, with fewer descriptors
// than levels, and leaves none open.
TEST_F(FolderWalk, DeepTreeWithBoundedDescriptors) {
    const int levels = 3000;
    ASSERT_TRUE(deep_tree::Make(dir, levels));
    const String root = dir.c_str();
    const int before = OpenDescriptors();
    EXPECT_EQ(CountFiles(root, "f", true, 0, 0), levels + 1);
    EXPECT_EQ(CountFiles(root, "*", true, cfmSubFolders, 0), levels);
    EXPECT_EQ(GetFolderSize(root, true), levels + 1);
    EXPECT_EQ(OpenDescriptors(), before);
    // Within a descriptor limit far below the depth the answer is the same.
    const rlim_t tight = rlim_t(before + kMaxHeldDirs + 8);
    EXPECT_EQ(InChild([&] { return (long long)CountFiles(root, "*", true, 0, 0); }, false, tight),
              levels + 1);
    EXPECT_EQ(InChild([&] { return GetFolderSize(root, true); }, false, tight), levels + 1);
}

TEST(CountFilesMode, MinutesTruncateTowardZero) {
    EXPECT_EQ(sec2min(119), 1);
    EXPECT_EQ(sec2min(-1), 0);
    EXPECT_EQ(sec2min(-61), -1);
    EXPECT_STREQ(CountFilesModeName[cfmSubFolders], "SubFolders");
}

}  // namespace
