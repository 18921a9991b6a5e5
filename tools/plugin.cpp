#include "tools/plugin.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/catalogue.h"
#include "agent/replyprint.h"
#include "protocol/valueforms.h"
#include "tools/cli_args.h"
#include "tools/fleet.h"
#include "tools/logstate.h"

namespace {

const char* const kStateNames[] = {"TEV OK", "TEV WARNING", "TEV CRITICAL", "TEV UNKNOWN"};

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// A decimal number filling all of [p, p + n): optional sign, digits, an
// optional fraction; at least one digit. Refuses what strtod would also take
// but a threshold never means ("inf", "nan", hex, exponents).
bool ParseNumber(const char* p, size_t n, double& out) {
    size_t i = 0;
    if (i < n && (p[i] == '-' || p[i] == '+')) i++;
    size_t digits = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') i++, digits++;
    if (i < n && p[i] == '.') {
        i++;
        while (i < n && p[i] >= '0' && p[i] <= '9') i++, digits++;
    }
    if (digits == 0 || i != n) return false;
    const std::string text(p, n);
    out = std::strtod(text.c_str(), nullptr);
    return true;
}

// A reply value as a number: the value forms pad numbers with blanks on the
// left ("%6lld"), so blanks around it do not count.
bool ParseValue(const String& value, double& out) {
    const std::string v = ToStd(value);
    const size_t b = v.find_first_not_of(" \t");
    if (b == std::string::npos) return false;
    const size_t e = v.find_last_not_of(" \t");
    return ParseNumber(v.data() + b, e - b + 1, out);
}

// Text fit for the one status line: multi-line forms decoded, line breaks and
// tabs as blanks, "|" (which starts the performance data) as "/".
std::string OneLine(const String& text) {
    std::string s = ToStd(tevDecodeStrings(text));
    for (char& c : s) {
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
        if (c == '|') c = '/';
    }
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The performance data label: the command, quoted, without the characters
// that would end the label.
std::string Label(const std::string& command) {
    std::string l = command;
    for (char& c : l)
        if (c == '\'' || c == '=' || c == '|') c = '_';
    return "'" + l + "'";
}

PluginReport Report(int state, const std::string& text) {
    return PluginReport{state, std::string(kStateNames[state]) + " - " + text};
}

int Unknown(const std::string& reason) {
    std::printf("%s - %s\n", kStateNames[kPluginUnknown], reason.c_str());
    return -1;
}

// Value line index of the reply (1-based); false when it is not there.
bool ValueAt(const TStrList& values, int index, String& out) {
    if (index < 1 || index > values.Count()) return false;
    out = values[index - 1];
    return true;
}

// "300" and "301": the agent ran the check and it failed (a path that
// cannot be examined, a script that fails). Every other code other than
// "200" is a mistake of the set-up ("600" a right that is off, "501" a bad
// parameter, "500" a request the agent does not know), not a state of the
// thing checked, so it is UNKNOWN as check_nrpe has it.
bool IsCheckFailure(const String& code) {
    return code == "300" || code == "301";
}

// The number text of a value (blanks around it removed); empty when it is
// not a number.
std::string NumberText(const TStrList& values, int index) {
    String value;
    double number = 0;
    if (!ValueAt(values, index, value) || !ParseValue(value, number)) return std::string();
    return OneLine(value);
}

// The performance data of value valueIndex of a "200" reply to command:
// 'label'=value[UOM];[warn];[crit];[min];[max], trailing empty fields left
// out. Unit and maximum come from the command table: a count of bytes or a
// time has the minimum 0; a value whose table entry names the line of its
// greatest value (free bytes: the total) has that as the maximum.
std::string PerfData(const PluginArgs& args, const std::string& label, const String& command,
                     const std::string& shown, const TStrList& values) {
    const TCommandDef* c = FindCommand(command);
    const TValueDoc* doc = c && args.valueIndex >= 1 && size_t(args.valueIndex) <= c->values.size()
                               ? &c->values[size_t(args.valueIndex - 1)]
                               : nullptr;
    const std::string unit = doc ? doc->unit : "";
    std::string fields[4] = {args.warning.text, args.critical.text, "", ""};
    if (!args.warning.set) fields[0].clear();
    if (!args.critical.set) fields[1].clear();
    if (unit == "B" || unit == "s" || unit == "ms") fields[2] = "0";
    if (doc && doc->maxLine > 0) fields[3] = NumberText(values, doc->maxLine);
    std::string perf = Label(label) + "=" + shown + unit;
    int last = 3;
    while (last >= 0 && fields[last].empty()) last--;
    for (int k = 0; k <= last; k++) perf += ";" + fields[k];
    return perf;
}

}  // namespace

int ParsePluginRange(const char* text, PluginRange& range) {
    if (!text || !*text) return 0;
    PluginRange r;
    r.text = text;
    const char* p = text;
    if (*p == '@') {
        r.inside = true;
        p++;
    }
    const char* colon = std::strchr(p, ':');
    if (!colon) {
        if (!ParseNumber(p, std::strlen(p), r.high)) return 0;
        r.highInfinite = false;
    } else {
        const size_t startLen = size_t(colon - p);
        if (startLen == 1 && *p == '~')
            r.lowInfinite = true;
        else if (startLen > 0 && !ParseNumber(p, startLen, r.low))
            return 0;
        const char* end = colon + 1;
        if (*end) {
            if (!ParseNumber(end, std::strlen(end), r.high)) return 0;
            r.highInfinite = false;
        }
    }
    if (!r.lowInfinite && !r.highInfinite && r.low > r.high) return 0;
    r.set = true;
    range = r;
    return 1;
}

bool PluginRangeAlerts(const PluginRange& range, double value) {
    if (!range.set) return false;
    const bool outside =
        (!range.lowInfinite && value < range.low) || (!range.highInfinite && value > range.high);
    return range.inside ? !outside : outside;
}

int ParsePluginOption(int argc, char** argv, int i, PluginArgs& args) {
    const std::string a = argv[i];
    if (a == "--plugin") {
        args.enabled = true;
        return 1;
    }
    if (a != "--value" && a != "--warning" && a != "--critical" && a != "--label" && a != "--state")
        return 0;
    args.judging = true;
    if (i + 1 >= argc) return Unknown("missing value for " + a);
    const char* v = argv[i + 1];
    if (a == "--label") {
        if (!*v) return Unknown("empty label");
        args.label = v;
    } else if (a == "--state") {
        if (!*v) return Unknown("empty state file name");
        args.stateFile = v;
    } else if (a == "--value") {
        long n = 0;
        if (!ParseDecimal(v, 1, INT_MAX, n))
            return Unknown("invalid value line number '" + std::string(v) + "'");
        args.valueIndex = int(n);
    } else if (!ParsePluginRange(v, a == "--warning" ? args.warning : args.critical)) {
        return Unknown("invalid range '" + std::string(v) + "' for " + a);
    }
    return 2;
}

PluginReport JudgePluginReply(const PluginArgs& args, const String& command, const String& code,
                              const TStrList& values) {
    const std::string cmd = OneLine(command);
    if (code != "200") {
        String message;
        std::string text = cmd + ": " + OneLine(code);
        if (ValueAt(values, 1, message) && !OneLine(message).empty())
            text += " " + OneLine(message);
        const std::string hint = ReplyHint(command, code);
        if (!hint.empty()) text += " " + hint;
        return Report(IsCheckFailure(code) ? kPluginCritical : kPluginUnknown, text);
    }
    const std::string which = " value " + std::to_string(args.valueIndex);
    String value;
    if (!ValueAt(values, args.valueIndex, value))
        return Report(kPluginUnknown, cmd + ": the reply has no" + which);
    double number = 0;
    if (!ParseValue(value, number))
        return Report(kPluginUnknown, cmd + which + " is not a number: " + OneLine(value));
    const std::string shown = OneLine(value);
    std::string text = cmd + which + " = " + shown;
    int state = kPluginOk;
    if (PluginRangeAlerts(args.critical, number)) {
        state = kPluginCritical;
        text += " (critical " + args.critical.text + ")";
    } else if (PluginRangeAlerts(args.warning, number)) {
        state = kPluginWarning;
        text += " (warning " + args.warning.text + ")";
    }
    const std::string label = args.label.empty() ? cmd : OneLine(String(args.label.c_str()));
    return Report(state, text + " | " + PerfData(args, label, command, shown, values));
}

PluginReport PluginNoReply(const String& command, const std::string& reason) {
    return Report(kPluginUnknown, OneLine(command) + ": " + reason);
}

std::string DefaultPluginLabel(const String& command, const std::vector<String>& params) {
    std::string label = ToStd(command);
    const TCommandDef* c = FindCommand(command);
    int position = 1;
    if (c)
        for (const TParamDoc& p : c->params)
            if (p.position > 0) {
                position = p.position;
                break;
            }
    if (size_t(position) <= params.size() && params[size_t(position - 1)].Length() > 0)
        label += " " + ToStd(params[size_t(position - 1)]);
    return label;
}

int RunPlugin(const PluginArgs& args, const char* host, int port, const String& password,
              int timeoutMs, const String& command, const std::vector<String>& params) {
    const std::string where = std::string("no reply from ") + host + ":" + std::to_string(port);
    TFleetRequest req{password, command, params, timeoutMs};
    PluginArgs labelled = args;
    if (labelled.label.empty()) labelled.label = DefaultPluginLabel(command, params);
    PluginReport report{kPluginUnknown, std::string()};
    std::string error;
    if (!args.stateFile.empty() && !HasLogState(command)) {
        report = Report(
            kPluginUnknown,
            "--state goes only with TEST-TextLog and TEST-TextLog2, not with " + OneLine(command));
    } else if (!args.stateFile.empty() &&
               !LoadLogState(args.stateFile, command, req.params, error)) {
        report = PluginNoReply(command, error);
    } else {
        const THostOutcome o = AskHost(host, port, req);
        if (o.rc != 1) {
            report = PluginNoReply(command, where + " (" + o.error + ")");
        } else {
            TStrList values;
            FillList(o.values, values);
            report = JudgePluginReply(labelled, command, o.code, values);
            if (!args.stateFile.empty() && o.code == "200" &&
                !SaveLogState(args.stateFile, command, req.params, o.values, error))
                report = PluginNoReply(command, error);
        }
    }
    std::printf("%s\n", report.line.c_str());
    std::fflush(stdout);
    return report.state;
}
