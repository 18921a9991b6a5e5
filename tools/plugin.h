// tevctl's monitoring-plugin mode: one request to an agent, judged by the
// conventions that the common open-source monitoring systems expect of a
// check plugin: one status line on standard output ("TEV OK - ...",
// "TEV WARNING - ...", "TEV CRITICAL - ...", "TEV UNKNOWN - ..."), with
// performance data after a "|", and the exit code 0, 1, 2 or 3 of the state.
//
// Thresholds use the plugins' range syntax, applied to one value line of the
// reply (1-based; the result code line is not counted):
//   "10"     alert when the value is below 0 or above 10
//   "10:"    alert when below 10
//   "~:10"   alert when above 10
//   "10:20"  alert when below 10 or above 20
//   "@10:20" alert when 10 <= value <= 20
// The ends of a range belong to the range. Critical is judged before warning.
//
// Replies: "200" with a numeric value is judged by the thresholds (OK without
// any); "300" and "301" (the agent ran the check and it failed) are CRITICAL
// with the agent's message; every other result code ("500", "501", "600":
// a mistake of the set-up, not a state of what is checked, as check_nrpe
// judges them), no reply at all, a missing value line or a value that is not
// a number is UNKNOWN.
//
// Performance data: 'label'=value[UOM];[warn];[crit];[min];[max] with
// trailing empty fields left out; the unit and the maximum come from the
// command table (agent/commands.h, TValueDoc), the minimum is 0 for bytes
// and times.
//
// Everything here is pure except ParsePluginOption (which prints its error
// line) and RunPlugin (network and standard output); any thread.
#pragma once

#include <string>
#include <vector>

#include "core/zostring.h"

enum PluginState { kPluginOk = 0, kPluginWarning = 1, kPluginCritical = 2, kPluginUnknown = 3 };

// One threshold. A range that was never given (set false) never alerts.
struct PluginRange {
    bool set = false;
    bool inside = false;  // "@": alert inside the range instead of outside
    bool lowInfinite = false;
    double low = 0;
    bool highInfinite = true;
    double high = 0;
    std::string text;  // as given, for the performance data
};

// Parses text in the range syntax above into range. Numbers are decimal with
// an optional sign and fraction ("-1.5"); an empty start before ":" means 0,
// "~" means minus infinity, an empty end plus infinity. Returns 1 and fills
// range (set = true); returns 0 for anything else (empty text, a start above
// the end, other characters) and leaves range alone.
int ParsePluginRange(const char* text, PluginRange& range);

// True when value triggers range (see the table above); false for an unset
// range.
bool PluginRangeAlerts(const PluginRange& range, double value);

// The plugin options of the command line.
struct PluginArgs {
    bool enabled = false;  // --plugin was given
    int valueIndex = 1;    // --value N
    PluginRange warning;   // --warning RANGE
    PluginRange critical;  // --critical RANGE
    // --label TEXT: the performance data label. Empty: the command (RunPlugin
    // makes it the command and its first parameter).
    std::string label;
    // --state FILE: the watch state of TEST-TextLog and TEST-TextLog2 kept
    // between runs (tools/logstate.h); empty for none.
    std::string stateFile;
    bool judging = false;  // one of the five above was given
};

// Takes the option at argv[i] when it is one of "--plugin", "--value N",
// "--warning RANGE", "--critical RANGE", "--label TEXT", "--state FILE". Returns the number of
// arguments it used (1 or 2); 0 when argv[i] is not a plugin option; -1 when the option's value is
// missing or invalid, after printing "TEV UNKNOWN - <reason>" to standard output (the caller then
// ends with kPluginUnknown).
int ParsePluginOption(int argc, char** argv, int i, PluginArgs& args);

// A judged exchange: the state and the whole status line (without line end).
struct PluginReport {
    int state;
    std::string line;
};

// Judges a reply split into its result code and value lines (as
// SplitReplyBody gives them) for command, as described at the top.
PluginReport JudgePluginReply(const PluginArgs& args, const String& command, const String& code,
                              const TStrList& values);

// The report when no usable reply came: UNKNOWN with reason.
PluginReport PluginNoReply(const String& command, const std::string& reason);

// The label of a check when --label is not given: the command and the
// parameter that tells two checks of it apart, the first one its table
// entry lists (the path of TEST-UNC, the process name of TEST-Process,
// which is parameter 2), when given and not empty; for a request the table
// does not know, parameter 1.
std::string DefaultPluginLabel(const String& command, const std::vector<String>& params);

// Sends command with params to host:port (password, time limit in ms), with
// the watch state of args.stateFile when there is one (and writes the new
// state back after a "200"), judges the outcome (labelled by
// DefaultPluginLabel unless args has a label), prints the status line and a
// line end to standard output and returns the state as the exit code.
int RunPlugin(const PluginArgs& args, const char* host, int port, const String& password,
              int timeoutMs, const String& command, const std::vector<String>& params);
