#include "platform/filereplace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "agent_harness.h"

namespace {

using agent_harness_detail::ReadWholeFile;

// A private directory; each case works in a subdirectory of its own
// (NewCase) holding the file to replace: "target", "old\n", mode 0640.
class FileReplaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tevreplaceXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top_ = tmpl;
        NewCase();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(top_, ignored);
    }

    // Makes the next case's directory with its target; sets dir_, target_.
    void NewCase() {
        dir_ = top_ + "/" + std::to_string(++cases_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        target_ = dir_ + "/target";
        WriteFile(target_, "old\n");
        ASSERT_EQ(chmod(target_.c_str(), 0640), 0);
    }

    static bool Exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    static mode_t ModeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    // A replacement of target through target.New that takes the old file's
    // owner and mode.
    TFileReplacement Replacement() const {
        TFileReplacement r;
        r.target = target_.c_str();
        r.temp = (target_ + ".New").c_str();
        struct stat st;
        EXPECT_EQ(stat(target_.c_str(), &st), 0);
        r.own = {st.st_uid, st.st_gid, mode_t(st.st_mode & 07777)};
        return r;
    }

    std::string top_;
    int cases_ = 0;
    std::string dir_;
    std::string target_;
};

TEST_F(FileReplaceTest, OutcomesLeaveTargetWholeAndNoTempBehind) {
    struct Case {
        const char* name;
        bool backup;       // keep the previous file as target.Old
        bool tempNoDir;    // the temporary file's directory does not exist
        bool tempLink;     // target.New is a symbolic link to a victim file
        bool targetIsDir;  // a non-empty directory stands at target
        TReplaceResult result;
    };
    const Case cases[] = {
        {"plain", false, false, false, false, rrDone},
        {"with backup", true, false, false, false, rrDone},
        {"link at the temporary name is replaced, not followed", false, false, true, false, rrDone},
        {"temporary file cannot be created", true, true, false, false, rrNoTemp},
        {"rename fails", false, false, false, true, rrNoRename},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewCase();
        const std::string victim = dir_ + "/victim";
        TFileReplacement r = Replacement();
        if (c.backup) {
            r.backup = (target_ + ".Old").c_str();
            r.previous = "old\n";
        }
        if (c.tempNoDir) r.temp = (dir_ + "/missing/target.New").c_str();
        if (c.tempLink) {
            WriteFile(victim, "victim\n");
            ASSERT_EQ(symlink(victim.c_str(), (target_ + ".New").c_str()), 0);
        }
        if (c.targetIsDir) {
            ASSERT_EQ(unlink(target_.c_str()), 0);
            ASSERT_EQ(mkdir(target_.c_str(), 0700), 0);
            WriteFile(target_ + "/keep", "x");
        }

        EXPECT_EQ(ReplaceFile(r, String("new\n")), c.result);

        EXPECT_FALSE(Exists(target_ + ".New"));
        EXPECT_FALSE(Exists(dir_ + "/missing"));
        if (c.tempLink) {
            EXPECT_EQ(ReadWholeFile(victim), "victim\n");
        }
        if (c.targetIsDir) {
            EXPECT_EQ(ReadWholeFile(target_ + "/keep"), "x");
        } else {
            EXPECT_EQ(ReadWholeFile(target_), c.result == rrDone ? "new\n" : "old\n");
            EXPECT_EQ(ModeOf(target_), 0640u);
        }
        const bool backupMade = c.backup && c.result == rrDone;
        EXPECT_EQ(Exists(target_ + ".Old"), backupMade);
        if (backupMade) {
            EXPECT_EQ(ReadWholeFile(target_ + ".Old"), "old\n");
            EXPECT_EQ(ModeOf(target_ + ".Old"), 0640u);
        }
    }
}

TEST_F(FileReplaceTest, TargetOfASymbolicLink) {
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(target_.c_str(), link.c_str()), 0);
    const std::string dangling = dir_ + "/dangling";
    ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), dangling.c_str()), 0);
    char* real = realpath(target_.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string resolved = real;
    std::free(real);
    const std::pair<std::string, std::string> cases[] = {
        {link, resolved},                  // the file the link points to
        {target_, target_},                // a plain file stands for itself
        {dangling, dangling},              // a link that leads nowhere stays as given
        {dir_ + "/none", dir_ + "/none"},  // so does a missing file
    };
    for (const auto& [path, expected] : cases) {
        const String got = ReplacementTarget(String(path.c_str()));
        EXPECT_EQ(std::string(got.Data(), size_t(got.Length())), expected) << path;
    }
}

}  // namespace
