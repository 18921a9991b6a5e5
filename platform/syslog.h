// BSD syslog client (RFC 3164): one message as one UDP datagram
//   <PRI>Mmm dd hh:mm:ss HOST TAG: MESSAGE
// with PRI = facility * 8 + severity, the day blank-padded to two characters,
// HOST the dotted-decimal address of the local host name (0.0.0.0 when it
// cannot be found). No terminating zero, no line break; nothing is received.
#pragma once

#include <ctime>

#include "core/zostring.h"

// Syslog severities with their RFC 3164 numbers.
enum TSyslogSeverity {
    ssEmergency = 0,
    ssAlert = 1,
    ssCritical = 2,
    ssError = 3,
    ssWarning = 4,
    ssNotice = 5,
    ssInformational = 6,
    ssDebug = 7,
};

// Source of the current time for the time stamp; tests pass a fixed one.
using TSyslogClock = time_t (*)();

// Time stamp of when in local time: "Mmm dd hh:mm:ss", the day padded with a
// blank ("Jan  5 14:03:07"). Any thread (localtime_r).
String CDateTime(time_t when);
// The same for the current time.
String CDateTime();

// The datagram for the given pieces: "<PRI>" + CDateTime(when) + " " +
// dotted-decimal hostIp (network order) + " " + tag + ": " + message.
// facility and severity are used as given. Any thread.
String BuildSyslogDatagram(int facility, TSyslogSeverity severity, const String& tag,
                           const String& message, time_t when, unsigned int hostIp);

// Sends one syslog message to host:port over UDP. The local address is
// looked up once per call (GetMyIP, re-entrant). clock, when given, replaces
// the current time. Returns the number of bytes sent; on failure the
// negative (or 0) result of SendReceiveUDPPacket with error set, e.g. -2
// "Cannot resolve server name to IP address", -3 or -4 with the system
// text. error is emptied first. Any thread.
int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const String& tag, const String& message, String& error,
                 TSyslogClock clock = nullptr);
