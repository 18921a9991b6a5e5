// A reply as JSON for scripts (tevctl --json): one object per reply, its
// value lines under names taken from the command table, so that a script
// reads `.values.free_bytes` instead of counting lines.
//
//   {"host":"web1","request":"TEST-UNC","code":"200",
//    "values":{"total_bytes":499963174912,"free_bytes":82392580096,...}}
//   {"host":"web1","request":"GetInfo","error":"connection refused"}
//
// The rules, for a reply to a request the table knows:
// - value line k of a "200" reply goes under ValueKey of the table's k-th
//   value (agent/catalogue.h); of the forms int, real and flag as a JSON
//   number when its text (blanks around it aside) is one, otherwise as a
//   string;
// - from a value of the form pairs on (GetInfo, GetSettings) each
//   name=value line goes under its name, as a string;
// - lines the table does not name one by one (beyond its values, from a
//   value of the form rest on, a pairs line without '=' or with a name
//   already used, every line of a reply other than "200", every line of a
//   request the table does not know) go, in order, into the array "more";
// - strings are decoded from the multi-line form; '"', '\' and the control
//   characters are escaped (\n, \r, \t, else \u00XX); bytes that are not
//   part of valid UTF-8 are written as \u00XX, their Latin-1 reading, so
//   the output is always valid JSON (and such a byte is not told apart from
//   the UTF-8 of the same character).
// Pure functions; any thread.
#pragma once

#include <string>

#include "core/zostring.h"

// s as a JSON string literal with the quotes, escaped as above.
std::string JsonString(const std::string& s);

// The object of one reply, without a line end.
std::string ReplyJsonObject(const std::string& host, const String& command, const String& code,
                            const TStrList& values);

// The object for a request that got no reply: host, request and the reason.
std::string NoReplyJsonObject(const std::string& host, const String& command,
                              const std::string& error);
