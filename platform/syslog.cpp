#include "platform/syslog.h"

#include <cstdio>

#include "platform/sockets.h"

namespace {

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

String CDateTime(time_t when) {
    struct tm t;
    if (!localtime_r(&when, &t)) return String();
    const int month = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
    // Receivers parse the stamp by column, so the day keeps two characters
    // with a blank, not a zero, in front of a single digit.
    char buf[23];
    const int n = std::snprintf(buf, sizeof buf, "%2d %2.2d:%2.2d:%2.2d", t.tm_mday, t.tm_hour,
                                t.tm_min, t.tm_sec);
    if (n < 0) return String();
    String stamp(kMonthNames[month]);
    stamp += ' ';
    stamp += buf;
    return stamp;
}

String CDateTime() {
    return CDateTime(time(nullptr));
}

String BuildSyslogDatagram(int facility, TSyslogSeverity severity, const String& tag,
                           const String& message, time_t when, unsigned int hostIp) {
    // 64-bit arithmetic: any facility number the server sends stays defined.
    char priority[32];
    std::snprintf(priority, sizeof priority, "<%lld>", (long long)facility * 8 + int(severity));
    String datagram(priority);
    datagram += CDateTime(when);
    datagram += ' ';
    datagram += IP2String(hostIp);
    datagram += ' ';
    datagram += tag;
    datagram += ": ";
    datagram += message;
    return datagram;
}

int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const String& tag, const String& message, String& error, TSyslogClock clock) {
    error = "";
    const time_t now = clock ? clock() : time(nullptr);
    // GetMyIP gives 0 when the local name has no address: "0.0.0.0".
    const String datagram = BuildSyslogDatagram(facility, severity, tag, message, now, GetMyIP());
    return SendReceiveUDPPacket(host, port, 0, datagram.Data(), nullptr, datagram.Length(), 0,
                                error);
}
