// A reply as the operator's tools print it (`tevctl` and `tev --test`):
// the result code line and one line per value, and on standard error a hint when the request was
// refused or unknown.
#pragma once

#include <string>

#include "core/zostring.h"

// The hint for a reply to command, or "" when there is none:
// after "600", "(setting syslogaction is 0)" (agent/catalogue.h,
// RefusalHint); after "500" for a name the agent does not know, "(did you
// mean 'GetInfo'?)" when a known name is near. Pure; any thread.
std::string ReplyHint(const String& command, const String& code);

// Prints the reply to standard output (the code and the values, decoded
// when decode) and the hint, if any, as "<program>: <hint>" to standard
// error (none after a "600" that names its own reason on a second value
// line). Returns the exit code: 0 for
// "200", 1 for any other result.
int PrintReply(const char* program, const String& command, const String& code,
               const TStrList& values, bool decode);
