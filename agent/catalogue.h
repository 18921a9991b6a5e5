// The command table (agent/commands.h) written for people and tools: the
// catalogue that `tevctl --list` prints, the REQUESTS section of tevctl(1),
// the lines the shell completion reads, and the hints the tools add to a
// refused or unknown request. Pure functions of the table; any thread.
#pragma once

#include <string>

#include "agent/commands.h"

// One request in full: name and right, summary, parameters (position, form,
// meaning), the meaning of each value line of a "200" reply, and the notes.
// Ends with a line break.
std::string CatalogueEntry(const TCommandDef& c);

// Every request in table order, entries separated by a blank line, after a
// short explanation of the forms.
std::string CatalogueText();

// The key under which the JSON form of a reply (tevctl --json) carries a
// value line, derived from its meaning: the text before the first '(', ':'
// or ','; without a leading "the "; apostrophes dropped; lower case; every
// run of characters other than a-z and 0-9 one '_', none at either end.
// "total bytes" gives "total_bytes", "the CRC (0 to ...)" "crc",
// "position (send back next time)" "position". A line of the form rest
// (and every line after it) goes under kRestKey; name=value lines (form
// pairs) under their own names, so ValueKey is "" for them.
std::string ValueKey(const TValueDoc& v);

// The key of the lines a reply's table entry does not name one by one.
constexpr char kRestKey[] = "more";

// The REQUESTS section of tevctl(1) in mdoc, from ".Sh REQUESTS" to the end
// of its last list, ended by a line break.
std::string CatalogueRoff();

// One line per request: its name, then the form of each parameter from
// position 1 up to the highest one given, "-" for a position not used (so
// word k + 1 is the form of parameter k). For scripts and the completion.
std::string CatalogueNames();

// Why a "600" came, from the request's rights:
// "setting syslogaction is 0",
// "settings foldersize, countfiles, ... and textlog are all 0",
// "setting allowmanage is 0, or manageaddr does not list this client".
// Empty for a request without a right.
std::string RefusalHint(const TCommandDef& c);

// The request name nearest to a mistyped one (core/nearest.h), or nullptr.
const char* NearestCommand(const std::string& word);
