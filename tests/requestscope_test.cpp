#include "platform/requestscope.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "loopback_peers.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sockets.h"

namespace {

int RunLine(const char* line, int limitMs, TChildFds fds = TChildFds()) {
    TCommandArgs args;
    SplitCommandLine(line, args);
    int exitCode = 0;
    String error;
    return RunProgram(args.Argv, nullptr, fds, limitMs, exitCode, error);
}

// The waits of the platform layer on a thread that serves a request: they
// end with the request's budget (unless a longer limit of its own was
// asked for) and as soon as the request's peer closes its connection.
TEST(RequestScopeTest, WaitsEndWithTheBudgetOrThePeer) {
    loopback::UdpPeer silent(loopback::UdpPeer::kRecord);
    ASSERT_TRUE(silent.ok());
    char answer[64];
    String error;
    struct Case {
        const char* name;
        int budgetMs;
        bool peerCloses;  // 300 ms after the start
        std::function<int()> work;
        int expected;
        long long atLeastMs, atMostMs;
    } cases[] = {
        {"program without a limit of its own", 500, false,
         [] { return RunLine("sleep 30", LimitOrBudgetMs(0)); }, kRunTimedOut, 400, 5000},
        {"program whose peer closes", 60000, true,
         [] { return RunLine("sleep 30", LimitOrBudgetMs(0)); }, kRunPeerGone, 250, 5000},
        {"program with a longer limit of its own", 300, false,
         [] { return RunLine("sleep 1", LimitOrBudgetMs(5000)); }, 1, 900, 5000},
        {"UDP wait", 500, false,
         [&] {
             return SendReceiveUDPPacket("127.0.0.1", silent.port(), 30, "x", answer, 1,
                                         int(sizeof answer), error);
         },
         0, 400, 5000},
        {"pause", 500, false, [] { return PauseForRequest(30000); }, 0, 400, 5000},
        {"whole pause", 5000, false, [] { return PauseForRequest(200); }, 1, 190, 4000},
        {"pause whose peer closes", 60000, true, [] { return PauseForRequest(30000); }, -1, 250,
         5000},
        {"UDP wait whose peer closes", 60000, true,
         [&] {
             return SendReceiveUDPPacket("127.0.0.1", silent.port(), 30, "x", answer, 1,
                                         int(sizeof answer), error);
         },
         -5, 250, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        std::thread closer;
        if (c.peerCloses)
            closer = std::thread([&pair] {
                usleep(300 * 1000);
                close(pair[1]);
            });
        const long long start = NowMs();
        int result;
        {
            TRequestScope scope(pair[0], c.budgetMs);
            result = c.work();
        }
        const long long took = NowMs() - start;
        if (closer.joinable())
            closer.join();
        else
            close(pair[1]);
        close(pair[0]);
        EXPECT_EQ(result, c.expected);
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LE(took, c.atMostMs);
    }
    EXPECT_EQ(RequestMsLeft(), kNoRequestBudget);
    EXPECT_FALSE(RequestPeerGone());
}

TEST(RequestScopeTest, OutputBeyondTheCapKillsTheChildAndIsCutBack) {
    const long long cap = 1024 * 1024;
    struct Case {
        const char* line;
        int expected;
        long long size;  // of the file afterwards
    } cases[] = {
        {"yes", kRunOverCap, cap},
        {"head -c 3000000 /dev/zero", kRunOverCap, cap},  // may end between two looks
        {"echo hello", 1, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        char path[] = "/tmp/tev_cap_XXXXXX";
        const int fd = mkostemp(path, O_CLOEXEC);
        ASSERT_GE(fd, 0);
        unlink(path);
        TChildFds fds;
        fds.Out = fd;
        fds.OutCap = cap;
        EXPECT_EQ(RunLine(c.line, 0, fds), c.expected);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_size, c.size);
        close(fd);
    }
}

}  // namespace
