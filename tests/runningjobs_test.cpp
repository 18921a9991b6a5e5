// The register of running work: an end kills the running children's process
// groups, removes the entered temporary files, and lets nothing new start
// until it is reopened.
#include "platform/runningjobs.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/tempcreate.h"
#include "runstate_util.h"

using agent_harness_detail::ReadWholeFile;

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

class RunningJobs : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_runningjobs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        ReopenRunningWork();
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
};

TEST_F(RunningJobs, EndKillsGroupsRemovesFilesAndRefusesNewWork) {
    String path;
    const int fd = CreateTempFile(nullptr, path, dir.c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(Std(path).rfind(dir + "/tmptev-" + std::to_string(getpid()) + "-", 0), 0u);
    EXPECT_EQ(RunningTempFiles(), 1);

    // A child with a grandchild in its group, waited for without limit.
    const std::string pidFile = dir + "/bg.pid";
    const std::string line = "sh -c 'sleep 60 & echo $! > " + pidFile + "; wait'";
    int rc = 1;
    String error;
    std::thread waiter([&] {
        int exitCode = 0;
        rc = SystemEx(line.c_str(), nullptr, 0, exitCode, error);
    });
    while (ReadWholeFile(pidFile).empty() || RunningChildren() == 0) usleep(5000);
    const int grandchild = atoi(ReadWholeFile(pidFile).c_str());
    ASSERT_GT(grandchild, 0);

    EXPECT_EQ(EndRunningChildren(), 1);
    waiter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Std(error), "abnormal termination");
    while (runstate::Alive(grandchild)) usleep(5000);
    EXPECT_NE(access(ZeroTerminated(path).Data(), F_OK), 0);
    EXPECT_EQ(RunningChildren(), 0);
    EXPECT_EQ(RunningTempFiles(), 0);

    // Nothing new until reopened.
    int exitCode = 0;
    EXPECT_EQ(SystemEx("true", nullptr, 0, exitCode, error), 0);
    EXPECT_EQ(Std(error), "fork error");
    String refused;
    EXPECT_EQ(CreateTempFile(nullptr, refused, dir.c_str()), kTempNotCreated);
    EXPECT_EQ(errno, ECANCELED);
    ReopenRunningWork();
    EXPECT_EQ(SystemEx("true", nullptr, 0, exitCode, error), 1);
    const int again = CreateTempFile(nullptr, path, dir.c_str());
    ASSERT_GE(again, 0);
    close(again);
    RemoveTempFile(path);
    EXPECT_EQ(RunningTempFiles(), 0);
}

// Stale files: only regular files of the agent's own form, owned by us, of
// this process or of one that has ended, go.
TEST_F(RunningJobs, StaleSweepTakesOnlyCertainlyOwnFiles) {
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    int status = 0;
    waitpid(ended, &status, 0);
    auto own = [](long pid) { return "tmptev-" + std::to_string(pid) + "-00112233445566ff.tmp"; };
    const std::string gone[] = {own(ended), own(getpid())};
    const std::string kept[] = {"tmptev-1-00112233445566ff.tmp",  // init lives
                                "tmptev-" + std::to_string(ended) + "-0011.tmp",
                                "tmp-" + std::to_string(ended) + "-0", own(ended) + "~"};
    for (const std::string& n : gone) std::ofstream(dir + "/" + n) << "x";
    for (const std::string& n : kept) std::ofstream(dir + "/" + n) << "x";
    const std::string target = dir + "/target";
    std::ofstream(target) << "keep";
    const std::string link = dir + "/" + own(ended + 1);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    // The folder itself reached through a link is not walked.
    const std::string linkedDir = dir + "/linked";
    ASSERT_EQ(symlink(dir.c_str(), linkedDir.c_str()), 0);
    EXPECT_EQ(RemoveStaleTempFiles(linkedDir.c_str()), -1);

    EXPECT_EQ(RemoveStaleTempFiles(dir.c_str()), 2);
    for (const std::string& n : gone) EXPECT_NE(access((dir + "/" + n).c_str(), F_OK), 0) << n;
    for (const std::string& n : kept) EXPECT_EQ(access((dir + "/" + n).c_str(), F_OK), 0) << n;
    struct stat st;
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_EQ(ReadWholeFile(target), "keep");
}

}  // namespace
