// The one check of every setting's value, wherever it comes from: the
// configuration file, the command line (-p) or a SetSettings request. One
// table of rules serves all three, so a value the file accepts is accepted
// remotely too. A number is taken only when it is a decimal whole number
// inside its key's range; it is never wrapped or cut to fit.
#pragma once

#include "core/zostring.h"

// Where a value comes from.
enum TSettingSource {
    ssCommandLine,  // -p: the plain range only
    ssFile,         // the configuration file: its forms of 0 or less too
    ssRemote,       // SetSettings: the file's forms that keep the agent running
};

// The numeric configuration keys (lower case) and their ranges:
//   port             1 .. 65535
//   timeout          1 .. 2147483647   (milliseconds)
//   delayforscripts  0 .. 2147483647   (microseconds)
//   transferidle     1000 .. 3600000   (milliseconds)
// The file's forms are accepted besides: 0 for port (none set; the load
// then fails for want of a port), timeout (4000) and transferidle (60000),
// and a negative timeout (no idle limit). A remote value takes the same
// forms but port 0, which the file takes only to report it missing.
//
// Checks text, the value of numeric key `key`, and returns 1 with value set
// when it is taken. The text may have blanks and tabs around it; empty
// text reads as 0. Returns 0, value untouched, when key is not a numeric
// key or the text is not an optional sign followed by decimal digits, or
// the number lies outside the range; error is then set to
//   "<name>=<text>: not a whole number" or
//   "<name>=<text>: must be from <min> to <max>"
// where name is `name` when given, else key, and <min> the range's own
// (error is left alone on success). Pure; any thread.
int CheckSettingNumber(const char* key, const String& text, TSettingSource source, int& value,
                       String& error, const char* name = nullptr);

// The same with inFile choosing ssFile or ssCommandLine.
inline int CheckSettingNumber(const char* key, const String& text, bool inFile, int& value,
                              String& error) {
    return CheckSettingNumber(key, text, inFile ? ssFile : ssCommandLine, value, error);
}

// The check of a text setting that the agent cannot run without: the
// password (key "password") must not be empty, from any source. Returns 1
// when text is taken; 0 with error "<name>=<text>: must not be empty"
// (name as above). Every other key's text is taken. Pure; any thread.
int CheckSettingText(const char* key, const String& text, String& error,
                     const char* name = nullptr);

// The default of the stall limit of an upgrade transfer (transferidle=0).
const int kDefaultTransferIdleMs = 60000;
