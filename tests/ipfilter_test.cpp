#include "platform/ipfilter.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

TEST(IPAllowedTest, DecidesMembershipAndReportsFirstProblem) {
    struct Case {
        const char* list;
        const char* addr;
        int allowed;
        const char* error;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", 1, ""},
        {"127.0.0.1", "127.0.0.2", 0, ""},
        // Ranges are inclusive and may be written either way round.
        {"10.0.0.5-10.0.0.1", "10.0.0.3", 1, ""},
        {"10.0.0.5-10.0.0.1", "10.0.0.1", 1, ""},
        {"10.0.0.5-10.0.0.1", "10.0.0.5", 1, ""},
        {"10.0.0.5-10.0.0.1", "10.0.0.6", 0, ""},
        {"10.0.0.1-10.0.0.5", "10.0.0.0", 0, ""},
        {"9.255.255.255-10.0.0.0", "10.0.0.0", 1, ""},  // compared in host order
        {"192.168.1.0-192.168.1.255,10.0.0.1", "10.0.0.1", 1, ""},
        // Blanks are dropped and reported, but the list still works...
        {"10.0.0.1, 10.0.0.2", "10.0.0.2", 1, "Illegal character ( ) specified"},
        {"10.0.0.1,\t10.0.0.2", "10.0.0.1", 1, "Illegal character (\t) specified"},
        // ...unless they were the only separator: the addresses join.
        {"10.0.0.1 10.0.0.2", "10.0.0.1", 0, "Invalid IP address (10.0.0.110.0.0.2) specified"},
        {"", "10.0.0.1", 0, ""},
        {",,,", "10.0.0.1", 0, ""},
        {",,10.0.0.1,,", "10.0.0.1", 1, ""},
        // An item 0.0.0.0 ends the list.
        {"0.0.0.0,10.0.0.1", "10.0.0.1", 0, ""},
        {"10.0.0.2,0.0.0.0,10.0.0.1", "10.0.0.2", 1, ""},
        // The first invalid item refuses everything after it.
        {"999.1.1.1,10.0.0.1", "10.0.0.1", 0, "Invalid IP address (999.1.1.1) specified"},
        {"10.0.0.1,999.1.1.1", "10.0.0.1", 1, ""},
        {"255.255.255.255", "10.0.0.1", 0, "Invalid IP address (255.255.255.255) specified"},
        {"10.0.0.1..2", "10.0.0.1", 0, "Invalid IP address (10.0.0.1..2) specified"},
        // A bad upper end leaves the lower end as a single address.
        {"10.0.0.1-", "10.0.0.1", 1, "Invalid IP address () specified"},
        {"10.0.0.1-1.2.3.4.5,10.0.0.9", "10.0.0.9", 1, "Invalid IP address (1.2.3.4.5) specified"},
        // The first invalid item is reported, not a later one.
        {"10.0.0.1-x,300.0.0.1", "10.0.0.7", 0, "Invalid IP address () specified"},
        // An invalid address outranks an illegal character.
        {"a,999.0.0.1", "10.0.0.1", 0, "Invalid IP address (999.0.0.1) specified"},
        {"10.0.0.1;", "10.0.0.1", 1, "Illegal character (;) specified"},
        // Every form inet_addr knows: short, octal, plain number.
        {"10.1", "10.0.0.1", 1, ""},
        {"012.0.0.1", "10.0.0.1", 1, ""},
        {"167772161", "10.0.0.1", 1, ""},
        // Range ends chain: the hyphen after an upper end starts a new item.
        {"10.0.0.1-10.0.0.2-10.0.0.9", "10.0.0.9", 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("list '") + c.list + "' addr " + c.addr);
        String error("stale");
        EXPECT_EQ(IPAllowed((unsigned int)inet_addr(c.addr), c.list, error), c.allowed);
        EXPECT_EQ(Str(error), c.error);
        // The text form agrees with the numeric one.
        String error2("stale");
        EXPECT_EQ(IPAllowed(c.addr, c.list, error2), c.allowed);
        EXPECT_EQ(Str(error2), c.error);
    }
}

TEST(IPAllowedTest, UnconvertibleAddressTextIsRefusedWithoutParsing) {
    for (const char* addr : {"not-an-address", "1.2.3.4.5", "", "255.255.255.255"}) {
        SCOPED_TRACE(addr);
        String error("stale");
        EXPECT_EQ(IPAllowed(addr, "0.0.0.1-255.255.255.254, 999.9.9.9", error), 0);
        EXPECT_EQ(Str(error), "");
    }
    String error("stale");
    EXPECT_EQ(IPAllowed(static_cast<const char*>(nullptr), "10.0.0.1", error), 0);
}

TEST(GetItemTest, TakesOneItemOffTheFront) {
    struct Case {
        const char* list;
        unsigned int lo;
        unsigned int hi;
        const char* rest;
        const char* error;
    };
    const Case cases[] = {
        {"10.0.0.1", 0x0A000001u, 0, "", ""},
        {"10.0.0.1,10.0.0.2", 0x0A000001u, 0, "10.0.0.2", ""},
        {",,-10.0.0.1,x", 0x0A000001u, 0, "x", ""},
        {"10.0.0.9-10.0.0.1,rest", 0x0A000009u, 0x0A000001u, "rest", ""},
        {"10.0.0.9-10.0.0.1", 0x0A000009u, 0x0A000001u, "", ""},
        {"10.0.0.9-bad,rest", 0x0A000009u, 0, "rest", "Invalid IP address (bad) specified"},
        // Nothing to take, or an invalid first address: the list stays.
        {"", 0, 0, "", ""},
        {",,-", 0, 0, ",,-", ""},
        {"1.2.3.4.5,10.0.0.1", 0, 0, "1.2.3.4.5,10.0.0.1",
         "Invalid IP address (1.2.3.4.5) specified"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        String list(c.list);
        unsigned int lo = 7;
        unsigned int hi = 7;
        String error;
        getitem(list, lo, hi, error);
        EXPECT_EQ(lo, c.lo);
        EXPECT_EQ(hi, c.hi);
        EXPECT_EQ(Str(list), c.rest);
        EXPECT_EQ(Str(error), c.error);
    }
}

}  // namespace
