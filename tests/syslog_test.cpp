#include "platform/syslog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "loopback_peers.h"
#include "platform/sockets.h"

namespace {

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

// The time_t of a local calendar time in 2026.
time_t LocalTime(int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

time_t g_fixedTime = 0;
time_t FixedClock() {
    return g_fixedTime;
}

TEST(SyslogTest, TimeStampPadsTheDayWithABlank) {
    struct Case {
        int month, day, hour, minute, second;
        const char* stamp;
    } cases[] = {
        {1, 5, 14, 3, 7, "Jan  5 14:03:07"},
        {1, 15, 14, 3, 7, "Jan 15 14:03:07"},
        {7, 1, 0, 0, 0, "Jul  1 00:00:00"},
        {12, 31, 23, 59, 59, "Dec 31 23:59:59"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Std(CDateTime(LocalTime(c.month, c.day, c.hour, c.minute, c.second))), c.stamp);
    }
    const time_t before = time(nullptr);
    const std::string now = Std(CDateTime());
    const time_t after = time(nullptr);
    EXPECT_TRUE(now == Std(CDateTime(before)) || now == Std(CDateTime(after))) << now;
}

TEST(SyslogTest, DatagramLayout) {
    const time_t when = LocalTime(1, 5, 14, 3, 7);
    struct Case {
        int facility;
        TSyslogSeverity severity;
        const char* host;
        const char* tag;
        std::string message;
        std::string datagram;
    } cases[] = {
        {1, ssNotice, "127.0.0.2", "T", "M", "<13>Jan  5 14:03:07 127.0.0.2 T: M"},
        {0, ssEmergency, "0.0.0.0", "Zo TEV", "", "<0>Jan  5 14:03:07 0.0.0.0 Zo TEV: "},
        {23, ssDebug, "127.1.2.3", "t", std::string("a\nb\0c", 5),
         std::string("<191>Jan  5 14:03:07 127.1.2.3 t: a\nb\0c", 39)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.datagram);
        const String d = BuildSyslogDatagram(c.facility, c.severity, String(c.tag),
                                             String(c.message.data(), int(c.message.size())), when,
                                             inet_addr(c.host));
        EXPECT_EQ(Std(d), c.datagram);
    }
}

TEST(SyslogTest, SendsTheDatagramToTheServer) {
    loopback::UdpPeer receiver(loopback::UdpPeer::kRecord);
    ASSERT_TRUE(receiver.ok());
    g_fixedTime = LocalTime(1, 5, 14, 3, 7);
    const std::string expected = "<13>Jan  5 14:03:07 " + Std(IP2String(GetMyIP())) + " T: M";
    String error("stale");
    const int sent = SendToSysLog("127.0.0.1", receiver.port(), 1, ssNotice, String("T"),
                                  String("M"), error, FixedClock);
    EXPECT_EQ(sent, int(expected.size()));
    EXPECT_EQ(Std(error), "");
    ASSERT_TRUE(receiver.WaitForChunks(1, 5000));
    EXPECT_EQ(receiver.Chunks()[0].bytes, expected);
}

TEST(SyslogTest, UnresolvableServer) {
    String error;
    EXPECT_EQ(
        SendToSysLog(loopback::kUnresolvable, 514, 1, ssNotice, String("T"), String("M"), error),
        -2);
    EXPECT_EQ(Std(error), "Cannot resolve server name to IP address");
}

}  // namespace
