#include "agent/sessionlimits.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

in_addr Addr(const char* text) {
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a;
}

TEST(SessionLimitsTest, CapsInAllAndPerPeer) {
    TSessionLimits limits(5, 2);
    struct Step {
        const char* peer;
        bool admit;     // admit (true) or release (false)
        bool expected;  // Admit's result
        int inProgress;
    } steps[] = {
        {"10.0.0.1", true, true, 1},  {"10.0.0.1", true, true, 2},
        {"10.0.0.1", true, false, 2},  // the peer's cap
        {"10.0.0.2", true, true, 3},  {"10.0.0.3", true, true, 4},
        {"10.0.0.4", true, true, 5},  {"10.0.0.5", true, false, 5},  // the cap in all
        {"10.0.0.1", false, true, 4}, {"10.0.0.1", true, true, 5},
        {"10.0.0.9", false, true, 5},  // never admitted: nothing to release
        {"10.0.0.2", false, true, 4}, {"10.0.0.5", true, true, 5},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.peer);
        if (s.admit)
            EXPECT_EQ(limits.Admit(Addr(s.peer), false) != adRefused, s.expected);
        else
            limits.Release(Addr(s.peer));
        EXPECT_EQ(limits.InProgress(), s.inProgress);
    }
}

// With a reserve of 1 below caps of 5 in all and 2 per peer, the last place
// of each cap is a reserve place, and only a manager gets one: a stranger
// is refused there, in all and in its own count.
TEST(SessionLimitsTest, TheTopOfEachCapIsAReserveForManagersOnly) {
    TSessionLimits limits(5, 2, 1);
    struct Step {
        const char* peer;
        bool manager;
        TAdmission expected;
    } steps[] = {
        {"10.0.0.1", false, adAdmitted},
        {"10.0.0.1", false, adRefused},  // a stranger's own last place
        {"10.0.0.9", true, adAdmitted},
        {"10.0.0.9", true, adReserve},  // a manager's own last place
        {"10.0.0.9", true, adRefused},  // over its cap all the same
        {"10.0.0.2", false, adAdmitted},
        {"10.0.0.3", false, adRefused},  // the last place in all
        {"10.0.0.8", true, adReserve},   // which a manager gets
        {"10.0.0.7", true, adRefused},   // full
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.peer) + (s.manager ? " manager" : " stranger"));
        EXPECT_EQ(limits.Admit(Addr(s.peer), s.manager), s.expected);
    }
    EXPECT_EQ(limits.InProgress(), 5);
    limits.Release(Addr("10.0.0.9"));
    EXPECT_EQ(limits.Admit(Addr("10.0.0.3"), false), adRefused) << "still the last place";
    EXPECT_EQ(limits.Admit(Addr("10.0.0.7"), true), adReserve);
    limits.Release(Addr("10.0.0.7"));
    limits.Release(Addr("10.0.0.2"));
    EXPECT_EQ(limits.Admit(Addr("10.0.0.5"), false), adAdmitted);
}

}  // namespace
