#include "platform/tempfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

// Sets TMPDIR and TMP for the scope of a test and restores them after.
class TempEnv {
  public:
    TempEnv(const char* tmpdir, const char* tmp) : oldDir(Get("TMPDIR")), oldTmp(Get("TMP")) {
        Set("TMPDIR", tmpdir);
        Set("TMP", tmp);
    }
    ~TempEnv() {
        Set("TMPDIR", oldDir.first ? oldDir.second.c_str() : nullptr);
        Set("TMP", oldTmp.first ? oldTmp.second.c_str() : nullptr);
    }

  private:
    static std::pair<bool, std::string> Get(const char* name) {
        const char* v = getenv(name);
        return {v != nullptr, v ? v : ""};
    }
    static void Set(const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    std::pair<bool, std::string> oldDir, oldTmp;
};

class TempFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_tempfile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void Touch(const std::string& path) {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        close(fd);
    }
    std::string dir;
};

TEST_F(TempFileTest, NamesFollowTheEnvironment) {
    struct Case {
        const char* tmpdir;
        const char* tmp;
        const char* name;
        std::string want;
    } cases[] = {
        {"/x/y", "/ignored", "f.txt", "/x/y/f.txt"},
        {"/x/y/", nullptr, "f.txt", "/x/y//f.txt"},  // the slash is added regardless
        {nullptr, "/t", "f", "/t/f"},
        {nullptr, nullptr, "f", "./f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        TempEnv env(c.tmpdir, c.tmp);
        char buf[64];
        ASSERT_EQ(gettempfilename(buf, sizeof buf, c.name), 1);
        EXPECT_EQ(std::string(buf), c.want);
    }
}

TEST_F(TempFileTest, RefusesSmallOrMissingBuffers) {
    TempEnv env(nullptr, nullptr);
    char buf[64] = "unchanged";
    EXPECT_EQ(gettempfilename(nullptr, 64, "f"), 0);
    EXPECT_EQ(gettempfilename(buf, 15, "f"), 0);
    EXPECT_EQ(gettempfilename(buf, 16, "f"), 0);  // "./" and 15 more exceed 16
    EXPECT_EQ(gettempfilename(buf, 17, "f"), 1);
    EXPECT_EQ(std::string(buf), "./f");
}

TEST_F(TempFileTest, DirectoryTooLongForTheBufferFailsEmpty) {
    const std::string longDir(40, 'd');
    TempEnv env(("/" + longDir).c_str(), nullptr);
    char buf[48];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(gettempfilename(buf, sizeof buf, "f"), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(gettempfilename(buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(TempFileTest, GeneratedNamesSkipExistingFiles) {
    TempEnv env(dir.c_str(), nullptr);
    const std::string prefix = dir + "/tmp-" + std::to_string(GetUniqueThreadID()) + "-";
    char buf[512];
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(std::string(buf), prefix + "0");
    Touch(prefix + "0");
    Touch(prefix + "1");
    mkdir((prefix + "2").c_str(), 0755);  // a directory does not block the name
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(std::string(buf), prefix + "2");
}

// A generated name must fit the 1024-byte candidate buffer, whatever room
// the caller offers.
TEST_F(TempFileTest, GeneratedNameBeyondTheCandidateBufferFails) {
    const std::string longDir = "/" + std::string(1016, 'd');
    TempEnv env(longDir.c_str(), nullptr);
    char buf[2048];
    EXPECT_EQ(gettempfilename(buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(gettempfilename(buf, sizeof buf, "given"), 1);  // a given name is not a candidate
}

TEST_F(TempFileTest, EverySuffixTakenFails) {
    TempEnv env(dir.c_str(), nullptr);
    const std::string prefix = dir + "/tmp-" + std::to_string(GetUniqueThreadID()) + "-";
    for (int i = 0; i <= 1998; i++) Touch(prefix + std::to_string(i));
    char buf[512];
    EXPECT_EQ(gettempfilename(buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(buf[0], 0);
    unlink((prefix + "1998").c_str());
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(std::string(buf), prefix + "1998");
}

TEST_F(TempFileTest, ThreadsGetDifferentIds) {
    int other = 0;
    std::thread t([&] { other = GetUniqueThreadID(); });
    t.join();
    EXPECT_NE(other, GetUniqueThreadID());
    EXPECT_EQ(GetUniqueThreadID(), GetUniqueThreadID());
}

TEST_F(TempFileTest, FirstMatchedFileIsNeverAFolder) {
    mkdir((dir + "/a.pid").c_str(), 0755);
    EXPECT_EQ(GetFirstMatchedFile((dir + "/*.pid").c_str()).Length(), 0);
    symlink("/etc/passwd", (dir + "/link.pid").c_str());
    EXPECT_EQ(GetFirstMatchedFile((dir + "/*.pid").c_str()).Length(), 0);
    Touch(dir + "/.hidden.pid");
    String got = ZeroTerminated(GetFirstMatchedFile((dir + "/*.pid").c_str()));
    EXPECT_STREQ(got.Data(), (dir + "/.hidden.pid").c_str());
    EXPECT_EQ(GetFirstMatchedFile((dir + "/missing/*.pid").c_str()).Length(), 0);
}

TEST_F(TempFileTest, FirstMatchedFileWithoutFolderSearchesTheWorkingDirectory) {
    Touch(dir + "/only.txt");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    String got = ZeroTerminated(GetFirstMatchedFile("*.txt"));
    ASSERT_EQ(chdir(old), 0);
    EXPECT_STREQ(got.Data(), "only.txt");
}

}  // namespace
