#include "tools/plugin.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/replyprint.h"
#include "protocol/clientpacket.h"
#include "protocol/valueforms.h"
#include "tools/cli_args.h"

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

bool IsRefusal(const String& code) {
    return code == "300" || code == "301" || code == "501" || code == "600";
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
    if (a != "--value" && a != "--warning" && a != "--critical" && a != "--label") return 0;
    args.judging = true;
    if (i + 1 >= argc) return Unknown("missing value for " + a);
    const char* v = argv[i + 1];
    if (a == "--label") {
        if (!*v) return Unknown("empty label");
        args.label = v;
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
        return Report(IsRefusal(code) ? kPluginCritical : kPluginUnknown, text);
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
    // 'label'=value;warn;crit, trailing empty fields left out.
    std::string perf =
        Label(args.label.empty() ? cmd : OneLine(String(args.label.c_str()))) + "=" + shown;
    if (args.warning.set || args.critical.set) perf += ";" + args.warning.text;
    if (args.critical.set) perf += ";" + args.critical.text;
    return Report(state, text + " | " + perf);
}

PluginReport PluginNoReply(const String& command, const std::string& reason) {
    return Report(kPluginUnknown, OneLine(command) + ": " + reason);
}

int RunPlugin(const PluginArgs& args, const char* host, int port, const String& password,
              int timeoutMs, const String& command, const TStrList& params) {
    const std::string where = std::string("no reply from ") + host + ":" + std::to_string(port);
    String sessionKey, error, reply, body, code;
    TStrList values;
    PluginReport report{kPluginUnknown, std::string()};
    PluginArgs labelled = args;
    if (labelled.label.empty()) {
        labelled.label = ToStd(command);
        if (params.Count() > 0) labelled.label += " " + ToStd(params[0]);
    }
    if (!NewSessionKey(sessionKey, error)) {
        report = PluginNoReply(command, "no session key: " + ToStd(error));
    } else {
        const String packet =
            BuildRequestPacket(password, sessionKey, BuildRequestBody(command, params));
        const int rc = ExchangePacket(host, port, packet, timeoutMs, reply, error);
        if (rc <= 0)
            report = PluginNoReply(command, where + " (" + ToStd(error) + ")");
        else if (!ParseReplyPacket(reply, sessionKey, body) || !SplitReplyBody(body, code, values))
            report = PluginNoReply(command, where + " (malformed reply)");
        else
            report = JudgePluginReply(labelled, command, code, values);
    }
    std::printf("%s\n", report.line.c_str());
    std::fflush(stdout);
    return report.state;
}
