// CPU usage from kept samples: the share arithmetic, the /proc/stat line,
// and the sample file in a directory others may write to (corrupt, foreign,
// linked, young and otherwise unusable samples), on a fake /proc tree.
#include "platform/cpuusage.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;

const char kBoot[] = "0f0e0d0c-1111-2222-3333-444455556666";
// busy 600 + 0 + 400 = 1000; total 1000 + idle 8000 + iowait 1000 = 10000.
const char kStat[] = "cpu  600 0 400 8000 1000 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 8 9 10\nintr 1 2\n";

long long MonoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::string SampleText(const std::string& boot, long long mono, unsigned long long busy,
                       unsigned long long total) {
    return "tev-cpuusage 1 " + boot + " " + std::to_string(mono) + " " + std::to_string(busy) +
           " " + std::to_string(total) + "\n";
}

// The content of path when it is a regular file (a FIFO is never opened).
std::string ReadIfRegular(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    return ReadWholeFile(path);
}

using runstate::Entries;

TEST(CpuUsage, ShareText) {
    struct Case {
        TCpuCounters from, to;
        const char* text;
    } cases[] = {
        {{100, 1000}, {225, 2000}, "12.5"}, {{0, 0}, {1, 3}, "33.3"},
        {{0, 0}, {2, 3}, "66.7"},           {{0, 0}, {1, 2000}, "0.1"},  // 0.05 rounds up
        {{0, 0}, {1, 2001}, "0.0"},         {{0, 0}, {7, 7}, "100.0"},
        {{5, 10}, {5, 10}, "0.0"},        // no tick passed
        {{5, 10}, {9, 8}, "0.0"},         // total went backwards
        {{50, 100}, {40, 200}, "0.0"},    // busy went backwards
        {{0, 100}, {500, 200}, "100.0"},  // more busy than total
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CpuShareText(c.from, c.to), c.text);
    }
}

TEST(CpuUsage, CountersFromTheStatLine) {
    runstate::TempDir dir;
    struct Case {
        const char* stat;
        bool ok;
        unsigned long long busy, total;
    } cases[] = {
        {kStat, true, 1000, 10000},
        {"cpu  1 2 3 4 5 6 7 8 9 10\n", true, 1 + 2 + 3 + 6 + 7 + 8, 36},
        {"cpu 1 2 3 4\n", true, 6, 10},  // an old kernel's four fields
        {"cpu 1 2 3\n", false, 0, 0},
        {"cpu 1 2 x 4\n", false, 0, 0},
        {"cpu0 1 2 3 4\n", false, 0, 0},
        {"cpu 1 2 3 4", false, 0, 0},  // cut short
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stat);
        WriteFile(dir.path + "/stat", c.stat);
        TCpuCounters got{77, 77};
        EXPECT_EQ(ReadCpuCounters(dir.path.c_str(), got), c.ok);
        EXPECT_EQ(got.Busy, c.ok ? c.busy : 77);
        EXPECT_EQ(got.Total, c.ok ? c.total : 77);
    }
    TCpuCounters got;
    EXPECT_FALSE(ReadCpuCounters("/nonexistent", got));
}

// A fake /proc with fixed counters and boot id, and a directory for the
// sample file.
class CpuSampleFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir((proc.path + "/sys").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((proc.path + "/sys/kernel").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((proc.path + "/sys/kernel/random").c_str(), 0755), 0);
        ASSERT_FALSE(
            WriteFile(proc.path + "/sys/kernel/random/boot_id", kBoot + std::string("\n")).empty());
        ASSERT_FALSE(WriteFile(proc.path + "/stat", kStat).empty());
        job.ProcRoot = proc.path.c_str();
        job.SamplePath = CpuSamplePath(tmp.path);
        job.WaitMs = 1;
    }
    // The path holds our own sample of the fake counters.
    void ExpectReplaced() {
        TCpuSample s;
        ASSERT_TRUE(LoadCpuSample(job.SamplePath, s)) << ReadWholeFile(job.SamplePath);
        EXPECT_EQ(s.BootId, kBoot);
        EXPECT_EQ(s.Counters.Busy, 1000u);
        EXPECT_EQ(s.Counters.Total, 10000u);
        EXPECT_LE(s.MonoNs, MonoNs());
        EXPECT_GT(s.MonoNs, MonoNs() - 60000000000LL);
        struct stat st;
        ASSERT_EQ(lstat(job.SamplePath.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }

    runstate::TempDir proc, tmp, elsewhere;
    TCpuUsageJob job;
};

TEST_F(CpuSampleFile, OnlyASoundSampleOfOurOwnIsUsed) {
    const long long now = MonoNs();
    const std::string old = SampleText(kBoot, now - 5000000000LL, 500, 5000);  // 10.0 % since
    enum After { kReplaced, kUnchanged, kDirectory };
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> place;
        TCpuSource source;
        const char* text;
        After after;
    } cases[] = {
        {"none", [](const std::string&) {}, TCpuSource::Waited, "0.0", kReplaced},
        {"sound and old", [&](const std::string& p) { WriteFile(p, old); }, TCpuSource::Sample,
         "10.0", kReplaced},
        {"younger than a second",
         [&](const std::string& p) { WriteFile(p, SampleText(kBoot, now - 100000000, 500, 5000)); },
         TCpuSource::WaitedKeptOld, "0.0", kUnchanged},
        {"garbage", [](const std::string& p) { WriteFile(p, "\x01\x02 not a sample\n"); },
         TCpuSource::Waited, "0.0", kReplaced},
        {"empty", [](const std::string& p) { WriteFile(p, ""); }, TCpuSource::Waited, "0.0",
         kReplaced},
        {"cut short", [&](const std::string& p) { WriteFile(p, old.substr(0, old.size() - 3)); },
         TCpuSource::Waited, "0.0", kReplaced},
        {"trailing word",
         [&](const std::string& p) { WriteFile(p, old.substr(0, old.size() - 1) + " 7\n"); },
         TCpuSource::Waited, "0.0", kReplaced},
        {"two samples", [&](const std::string& p) { WriteFile(p, old + old); }, TCpuSource::Waited,
         "0.0", kReplaced},
        {"busy above total",
         [&](const std::string& p) { WriteFile(p, SampleText(kBoot, now - 5000000000LL, 9, 8)); },
         TCpuSource::Waited, "0.0", kReplaced},
        {"another boot",
         [&](const std::string& p) {
             WriteFile(p, SampleText("11111111-2222-3333-4444-555555555555", now - 5000000000LL,
                                     500, 5000));
         },
         TCpuSource::Waited, "0.0", kReplaced},
        {"from the future",
         [&](const std::string& p) {
             WriteFile(p, SampleText(kBoot, now + 3600000000000LL, 500, 5000));
         },
         TCpuSource::Waited, "0.0", kReplaced},
        {"counters ahead of now",
         [&](const std::string& p) {
             WriteFile(p, SampleText(kBoot, now - 5000000000LL, 2000, 20000));
         },
         TCpuSource::Waited, "0.0", kReplaced},
        {"writable by the group",
         [&](const std::string& p) {
             WriteFile(p, old);
             chmod(p.c_str(), 0620);
         },
         TCpuSource::Waited, "0.0", kReplaced},
        {"symbolic link to a sound sample",
         [&](const std::string& p) {
             const std::string target = elsewhere.path + "/target";
             WriteFile(target, old);
             chmod(target.c_str(), 0600);
             symlink(target.c_str(), p.c_str());
         },
         TCpuSource::Waited, "0.0", kReplaced},
        {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, TCpuSource::Waited, "0.0",
         kReplaced},
        {"directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }, TCpuSource::Waited,
         "0.0", kDirectory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.place(job.SamplePath);
        const std::string before = ReadIfRegular(job.SamplePath);
        std::string text = "untouched";
        TCpuSource source = TCpuSource::Sample;
        ASSERT_TRUE(MeasureCpuUsage(job, text, source));
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(int(source), int(c.source));
        struct stat st;
        switch (c.after) {
            case kReplaced:
                ExpectReplaced();
                break;
            case kUnchanged:
                EXPECT_EQ(ReadIfRegular(job.SamplePath), before);
                break;
            case kDirectory:
                ASSERT_EQ(lstat(job.SamplePath.c_str(), &st), 0);
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                rmdir(job.SamplePath.c_str());
                break;
        }
        // Nothing but the sample is left behind.
        const std::vector<std::string> left = Entries(tmp.path);
        EXPECT_LE(left.size(), 1u);
        unlink(job.SamplePath.c_str());
    }
    // The file a link pointed at was read by nobody and written by nobody.
    EXPECT_EQ(ReadWholeFile(elsewhere.path + "/target"), old);
}

TEST_F(CpuSampleFile, AnotherUsersSampleIsIgnored) {
    if (geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
    ASSERT_FALSE(
        WriteFile(job.SamplePath, SampleText(kBoot, MonoNs() - 5000000000LL, 500, 5000)).empty());
    ASSERT_EQ(chmod(job.SamplePath.c_str(), 0600), 0);
    ASSERT_EQ(chown(job.SamplePath.c_str(), 65534, 65534), 0);
    std::string text;
    TCpuSource source = TCpuSource::Sample;
    ASSERT_TRUE(MeasureCpuUsage(job, text, source));
    EXPECT_EQ(text, "0.0");
    EXPECT_EQ(int(source), int(TCpuSource::Waited));
    ExpectReplaced();  // our directory: the rename may replace it
    struct stat st;
    ASSERT_EQ(stat(job.SamplePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(CpuSampleFile, UnreadableCountersFail) {
    ASSERT_EQ(unlink((proc.path + "/stat").c_str()), 0);
    std::string text = "untouched";
    TCpuSource source;
    EXPECT_FALSE(MeasureCpuUsage(job, text, source));
    EXPECT_EQ(text, "untouched");
    EXPECT_TRUE(Entries(tmp.path).empty());
}

TEST_F(CpuSampleFile, ConcurrentCallsLeaveOneSoundSample) {
    ASSERT_FALSE(
        WriteFile(job.SamplePath, SampleText(kBoot, MonoNs() - 5000000000LL, 500, 5000)).empty());
    ASSERT_EQ(chmod(job.SamplePath.c_str(), 0600), 0);
    const int kThreads = 8;
    std::vector<std::string> texts(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([this, &texts, i] {
            TCpuSource source;
            if (!MeasureCpuUsage(job, texts[size_t(i)], source)) texts[size_t(i)] = "failed";
        });
    for (std::thread& t : threads) t.join();
    for (const std::string& t : texts) EXPECT_TRUE(t == "10.0" || t == "0.0") << t;
    EXPECT_EQ(Entries(tmp.path).size(), 1u);
    ExpectReplaced();
}

}  // namespace
