// The pending set on its own, with socket pairs standing in for accepted
// connections: what it hands back, and when.
#include "agent/pendingset.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/clock.h"

namespace {

// Socket pairs: `ours` goes into the set as the connection, `peer` writes.
struct Pairs {
    struct Pair {
        int ours = -1;
        int peer = -1;
    };
    std::vector<Pair> pairs;
    explicit Pairs(int n) {
        for (int i = 0; i < n; i++) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) break;
            pairs.push_back(Pair{sv[0], sv[1]});
        }
    }
    ~Pairs() {
        for (const Pair& p : pairs) {
            close(p.ours);
            close(p.peer);
        }
    }
};

TConnection Conn(int fd) {
    return TConnection{fd, {0}, 0};
}

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

std::vector<int> Sockets(const std::vector<TConnection>& conns) {
    std::vector<int> fds;
    for (const TConnection& c : conns) fds.push_back(c.socket);
    return fds;
}

// Which connections TakeExpired hands back at a given moment: exactly those
// due by then, earliest first, each once; the rest stay pending.
TEST(PendingSet, HandsBackExactlyTheConnectionsPastTheirExpiry) {
    struct Case {
        const char* name;
        std::vector<long long> expiries;  // one connection each
        long long now;
        std::vector<int> expired;  // indexes into expiries, in the order handed back
    };
    const Case cases[] = {
        {"none due", {500, 700}, 499, {}},
        {"due at the very millisecond", {500, 700}, 500, {0}},
        {"all due, earliest first", {900, 300, 600}, 1000, {1, 2, 0}},
        {"equal expiries both go", {400, 400, 800}, 400, {0, 1}},
        {"some due", {100, 5000, 200, 6000}, 250, {0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pairs p(int(c.expiries.size()));
        ASSERT_EQ(p.pairs.size(), c.expiries.size());
        TPendingSet set;
        ASSERT_EQ(set.Open(), 0);
        for (size_t i = 0; i < c.expiries.size(); i++)
            ASSERT_TRUE(set.Defer(Conn(p.pairs[i].ours), c.expiries[i]));
        std::vector<int> want;
        for (int i : c.expired) want.push_back(p.pairs[size_t(i)].ours);
        EXPECT_EQ(Sockets(set.TakeExpired(c.now)), want);
        EXPECT_TRUE(set.TakeExpired(c.now).empty()) << "handed back twice";
        EXPECT_EQ(set.Any(), want.size() < c.expiries.size());
        // Handed back, not closed: closing is the owner's.
        for (const Pairs::Pair& pair : p.pairs) EXPECT_TRUE(IsOpen(pair.ours));
        // Everything else is still there, and goes at the end of time.
        EXPECT_EQ(set.TakeExpired(LLONG_MAX).size(), c.expiries.size() - want.size());
        EXPECT_FALSE(set.Any());
    }
}

// A connection whose bytes have come is taken by exactly one taker, and is
// then no longer the set's: it never comes back as expired.
TEST(PendingSet, AReadableConnectionIsTakenOnceAndLeavesTheSet) {
    Pairs p(3);
    ASSERT_EQ(p.pairs.size(), 3u);
    TPendingSet set;
    ASSERT_EQ(set.Open(), 0);
    for (const Pairs::Pair& pair : p.pairs) ASSERT_TRUE(set.Defer(Conn(pair.ours), 1000));
    TConnection out{-1, {0}, 0};
    EXPECT_FALSE(set.TakeReadable(out)) << "nothing has been sent yet";

    ASSERT_EQ(write(p.pairs[1].peer, "x", 1), 1);
    EXPECT_EQ(set.Wait(out, 1000), peReadable);
    EXPECT_EQ(out.socket, p.pairs[1].ours);
    EXPECT_FALSE(set.TakeReadable(out)) << "watched one-shot: taken once";

    ASSERT_EQ(write(p.pairs[2].peer, "y", 1), 1);
    EXPECT_TRUE(set.TakeReadable(out));
    EXPECT_EQ(out.socket, p.pairs[2].ours);

    EXPECT_EQ(Sockets(set.TakeExpired(LLONG_MAX)), std::vector<int>{p.pairs[0].ours});
}

// A peer that closes without a byte is news too: the connection is handed
// out to be served (and found at its end), not left to its expiry.
TEST(PendingSet, APeerThatHangsUpMakesItsConnectionReadable) {
    Pairs p(1);
    ASSERT_EQ(p.pairs.size(), 1u);
    TPendingSet set;
    ASSERT_EQ(set.Open(), 0);
    ASSERT_TRUE(set.Defer(Conn(p.pairs[0].ours), LLONG_MAX - 1));
    close(p.pairs[0].peer);
    p.pairs[0].peer = -1;
    TConnection out{-1, {0}, 0};
    EXPECT_EQ(set.Wait(out, 1000), peReadable);
    EXPECT_EQ(out.socket, p.pairs[0].ours);
}

// A wait while a connection is due returns at once, so its taker can give it
// up; the connection is handed back by TakeExpired, not lost in the wait.
TEST(PendingSet, AWaitEndsWhenTheNextConnectionIsDue) {
    Pairs p(1);
    ASSERT_EQ(p.pairs.size(), 1u);
    TPendingSet set;
    ASSERT_EQ(set.Open(), 0);
    ASSERT_TRUE(set.Defer(Conn(p.pairs[0].ours), 0));  // due since boot
    TConnection out{-1, {0}, 0};
    EXPECT_EQ(set.Wait(out, 60000), peNothing);
    EXPECT_EQ(Sockets(set.TakeExpired(NowMs())), std::vector<int>{p.pairs[0].ours});
}

// What cannot be watched is not kept: the caller serves it itself, and the
// set must not hand it back later (it would be closed twice).
TEST(PendingSet, WhatCannotBeWatchedStaysWithTheCaller) {
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);  // epoll refuses it
    ASSERT_GE(devnull, 0);
    TPendingSet unopened;
    EXPECT_FALSE(unopened.Defer(Conn(devnull), 1000));
    TPendingSet set;
    ASSERT_EQ(set.Open(), 0);
    EXPECT_FALSE(set.Defer(Conn(devnull), 1000));
    EXPECT_FALSE(set.Any());
    EXPECT_TRUE(set.TakeExpired(LLONG_MAX).empty());
    close(devnull);
}

// The listening socket is reported as such and stays watched.
TEST(PendingSet, TheListeningSocketIsReportedEveryTime) {
    Pairs p(1);
    ASSERT_EQ(p.pairs.size(), 1u);
    TPendingSet set;
    ASSERT_EQ(set.Open(), 0);
    ASSERT_EQ(set.WatchListener(p.pairs[0].ours), 0);
    ASSERT_EQ(write(p.pairs[0].peer, "x", 1), 1);
    TConnection out{-1, {0}, 0};
    EXPECT_EQ(set.Wait(out, 1000), peListener);
    EXPECT_EQ(set.Wait(out, 1000), peListener);
}

}  // namespace
