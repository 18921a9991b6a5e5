// Exclusive creation of temporary files.
#include "platform/tempcreate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

class TempCreate : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_tempcreate_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        const char* old = getenv("TMPDIR");
        hadTmpdir = old != nullptr;
        if (hadTmpdir) oldTmpdir = old;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    void TearDown() override {
        if (hadTmpdir)
            setenv("TMPDIR", oldTmpdir.c_str(), 1);
        else
            unsetenv("TMPDIR");
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir, oldTmpdir;
    bool hadTmpdir = false;
};

TEST_F(TempCreate, NewFileUnderTheNameOrAnother) {
    String path;
    const int fd = CreateTempFile("tmptev-1.txt", path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Std(path), dir + "/tmptev-1.txt");
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(write(fd, "x", 1), 1);
    close(fd);

    // Taken names (a file, a planted link) are never opened.
    const std::string target = dir + "/target";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (dir + "/tmptev-2.txt").c_str()), 0);
    for (const char* name : {"tmptev-1.txt", "tmptev-2.txt"}) {
        SCOPED_TRACE(name);
        String other;
        const int again = CreateTempFile(name, other);
        ASSERT_GE(again, 0);
        EXPECT_NE(Std(other), dir + "/" + name);
        EXPECT_EQ(Std(other).rfind(dir + "/tmptev-", 0), 0u);
        close(again);
    }
    std::ifstream in(target);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "keep");

    String generated;
    const int g = CreateTempFile(nullptr, generated);
    ASSERT_GE(g, 0);
    close(g);
}

TEST_F(TempCreate, Failures) {
    String path("stale");
    setenv("TMPDIR", std::string(600, 'd').c_str(), 1);
    EXPECT_EQ(CreateTempFile("x", path), kTempNoName);
    EXPECT_EQ(Std(path), "");
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    EXPECT_EQ(CreateTempFile("x", path), kTempNotCreated);
    EXPECT_EQ(Std(path), "");
}

}  // namespace
