// The one check of every numeric setting, wherever its value comes from:
// the configuration file, the command line (-p) or a SetSettings request.
// A value is taken only when it is a decimal whole number inside its key's
// range; it is never wrapped or cut to fit.
#pragma once

#include "core/zostring.h"

// The numeric configuration keys (lower case) and their ranges:
//   port             1 .. 65535
//   timeout          1 .. 2147483647   (milliseconds)
//   delayforscripts  0 .. 2147483647   (microseconds)
//   transferidle     1000 .. 3600000   (milliseconds)
// With inFile, the configuration file's forms are accepted as well: 0 for
// port (none set), timeout (4000) and transferidle (60000), and a negative
// timeout (no idle limit).
//
// Checks text, the value of numeric key `key`, and returns 1 with value set
// when it is taken. The text may have blanks and tabs around it; empty
// text reads as 0. Returns 0, value untouched, when key is not a numeric
// key or the text is not an optional sign followed by decimal digits, or
// the number lies outside the range; error is then set to
//   "<key>=<text>: not a whole number" or
//   "<key>=<text>: must be from <min> to <max>"
// (<min> the range's own, also with inFile; error is left alone on
// success). Pure; any thread.
int CheckSettingNumber(const char* key, const String& text, bool inFile, int& value, String& error);

// The default of the stall limit of an upgrade transfer (transferidle=0).
const int kDefaultTransferIdleMs = 60000;
