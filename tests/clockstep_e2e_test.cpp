// Time limits hold when the wall clock steps: the agent runs with a shim
// (tests/shims/clockshift.cpp) that moves its wall clock an hour back or
// forward while a connection waits or a program runs.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "agent_harness.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::NowMs;
using agent_harness_detail::SleepMs;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEV_NO_PRELOAD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TEV_NO_PRELOAD 1
#endif
#endif

enum TWait { kSilent, kPartialRequest, kSlowProgram };

TEST(ClockStepE2E, LimitsHoldWhenTheWallClockSteps) {
#ifdef TEV_NO_PRELOAD
    GTEST_SKIP() << "a preloaded shim cannot come before a sanitizer runtime";
#else
    struct Case {
        const char* name;
        long shiftSeconds;
        TWait wait;
        long long minMs, maxMs;  // when the connection closes or the reply comes
    } cases[] = {
        {"silent connection, clock back an hour", -3600, kSilent, 700, 2500},
        {"silent connection, clock forward an hour", 3600, kSilent, 700, 2500},
        {"half a request, clock back an hour", -3600, kPartialRequest, 700, 2500},
        {"half a request, clock forward an hour", 3600, kPartialRequest, 700, 2500},
        {"program limit, clock back an hour", -3600, kSlowProgram, 700, 4000},
        {"program limit, clock forward an hour", 3600, kSlowProgram, 700, 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentHarness a;
        char dir[] = "/tmp/tev_clock_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string shift = std::string(dir) + "/shift";
        WriteFile(shift, "0\n");
        setenv("LD_PRELOAD", TEV_CLOCKSHIFT_LIB, 1);
        setenv("TEV_CLOCK_SHIFT_FILE", shift.c_str(), 1);
        const bool started = a.Start("timeout=1000\nexternal=1\n");
        unsetenv("LD_PRELOAD");
        unsetenv("TEV_CLOCK_SHIFT_FILE");
        ASSERT_TRUE(started) << a.Output();

        const long long t0 = NowMs();
        long long took = -1;
        if (c.wait == kSlowProgram) {
            std::string out;
            std::thread ask([&] {
                out = RunCtl(a, {"TEST-ExternalPrg", "sleep 30", "", "", "1000"}).out;
                took = NowMs() - t0;
            });
            SleepMs(300);
            WriteFile(shift, std::to_string(c.shiftSeconds) + "\n");
            ask.join();
            EXPECT_EQ(out, "301\nabnormal termination\n");
        } else {
            wire::Connection conn(a.port);
            ASSERT_TRUE(conn.Ok());
            if (c.wait == kPartialRequest) {
                ASSERT_TRUE(conn.Send(std::string("\x40\x00\x00\x00", 4)));
            }
            SleepMs(300);
            WriteFile(shift, std::to_string(c.shiftSeconds) + "\n");
            bool closed = false;
            conn.Receive(6000, &closed);
            took = NowMs() - t0;
            EXPECT_TRUE(closed);
        }
        EXPECT_GE(took, c.minMs);
        EXPECT_LE(took, c.maxMs);
        unlink(shift.c_str());
        rmdir(dir);
    }
#endif
}

}  // namespace
