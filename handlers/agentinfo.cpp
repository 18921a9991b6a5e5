#include "handlers/agentinfo.h"

#include <sys/utsname.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "config/settingnumber.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "platform/requestnotes.h"
#include "protocol/valueforms.h"

namespace {

struct FlagName {
    const char* name;
    int TTEVSettings::*field;
};

const FlagName kTests[] = {
    {"TCP", &TTEVSettings::tcp},
    {"UDP", &TTEVSettings::udp},
    {"UNC", &TTEVSettings::unc},
    {"Folder Size", &TTEVSettings::foldersize},
    {"Count Files", &TTEVSettings::countfiles},
    {"File Availability", &TTEVSettings::fileexists},
    {"File Integrity", &TTEVSettings::filecrc},
    {"File Compare", &TTEVSettings::comparefiles},
    {"Text Log", &TTEVSettings::textlog},
    {"Process", &TTEVSettings::process},
    {"CPU Usage", &TTEVSettings::cpuusage},
    {"External", &TTEVSettings::external},
    {"Shell Script", &TTEVSettings::shellscript},
};

const FlagName kActions[] = {
    {"Execute external command", &TTEVSettings::executeaction},
    {"TCP/UDP send", &TTEVSettings::tcpudpaction},
    {"Syslog", &TTEVSettings::syslogaction},
};

// How a SetSettings value is read.
enum ValueKind { kText, kInt, kBool, kMultiLine, kIgnored };

struct SettingName {
    const char* name;
    ValueKind kind;
    int TTEVSettings::*intField;
    String TTEVSettings::*textField;
    // The configuration key whose rules (config/settingnumber.h) the value
    // must pass; null for values every text or flag passes.
    const char* key = nullptr;
};

const SettingName kSettable[] = {
    {"Comment", kText, nullptr, &TTEVSettings::comment},
    {"Port", kInt, &TTEVSettings::port, nullptr, "port"},
    {"Timeout", kInt, &TTEVSettings::timeout, nullptr, "timeout"},
    {"Password", kText, nullptr, &TTEVSettings::password, "password"},
    {"LogOkConn", kBool, &TTEVSettings::logsuccess, nullptr},
    {"LogBadConn", kBool, &TTEVSettings::logfails, nullptr},
    {"OkLogFile", kText, nullptr, &TTEVSettings::oklogfile},
    {"BadLogFile", kText, nullptr, &TTEVSettings::badlogfile},
    {"Ping", kBool, &TTEVSettings::ping, nullptr},
    {"TCP", kBool, &TTEVSettings::tcp, nullptr},
    {"UDP", kBool, &TTEVSettings::udp, nullptr},
    {"UNC", kBool, &TTEVSettings::unc, nullptr},
    {"Drive Space", kBool, &TTEVSettings::freespace, nullptr},
    {"Folder Size", kBool, &TTEVSettings::foldersize, nullptr},
    {"Count Files", kBool, &TTEVSettings::countfiles, nullptr},
    {"File Availability", kBool, &TTEVSettings::fileexists, nullptr},
    {"File Compare", kBool, &TTEVSettings::comparefiles, nullptr},
    {"Text Log", kBool, &TTEVSettings::textlog, nullptr},
    {"File Integrity", kBool, &TTEVSettings::filecrc, nullptr},
    {"Process", kBool, &TTEVSettings::process, nullptr},
    {"CPU Usage", kBool, &TTEVSettings::cpuusage, nullptr},
    {"Script", kBool, &TTEVSettings::script, nullptr},
    {"External", kBool, &TTEVSettings::external, nullptr},
    // GetInfo lists "Shell Script", so the server can switch it like the others.
    {"Shell Script", kBool, &TTEVSettings::shellscript, nullptr},
    {"Execute external command", kBool, &TTEVSettings::executeaction, nullptr},
    {"TCP/UDP send", kBool, &TTEVSettings::tcpudpaction, nullptr},
    {"Syslog", kBool, &TTEVSettings::syslogaction, nullptr},
    {"IPFiltering", kBool, &TTEVSettings::filteractive, nullptr},
    {"IPFilterAddr", kMultiLine, nullptr, &TTEVSettings::filterlist},
    {"IPFilterMarks", kText, nullptr, &TTEVSettings::filtermarks},
    {"AllowUpdates", kBool, &TTEVSettings::allowupdates, nullptr},
    {"AllowRManage", kBool, &TTEVSettings::allowmanage, nullptr},
    {"UpdateAddr", kText, nullptr, &TTEVSettings::updateaddr},
    {"ManageAddr", kText, nullptr, &TTEVSettings::manageaddr},
    // Tests of other platforms: accepted, nothing to change here.
    {"Service", kIgnored, nullptr, nullptr},
    {"NT Event Log", kIgnored, nullptr, nullptr},
    {"Perf Counter", kIgnored, nullptr, nullptr},
    {"SNMP", kIgnored, nullptr, nullptr},
};

template <size_t N>
String NameList(const FlagName (&list)[N]) {
    String text;
    for (const FlagName& f : list) {
        text += f.name;
        text += "\r\n";
    }
    return text;
}

template <size_t N>
String EnableChars(const TTEVSettings& s, const FlagName (&list)[N]) {
    String text;
    for (const FlagName& f : list) text += (s.*f.field) ? '1' : '0';
    return text;
}

void AddNamed(TEVReply& Reply, const char* name, const String& value, int encode) {
    String line(name);
    line += '=';
    line += encode ? tevEncodeStrings(value) : value;
    Reply.AddStringParam(line, 0);
}

void AddHostLines(TEVReply& Reply) {
    struct utsname u;
    if (uname(&u) != 0) return;
    AddNamed(Reply, "HostName", String(u.nodename), 0);
    String os(u.sysname);
    os += ' ';
    os += u.release;
    os += ' ';
    os += u.version;
    AddNamed(Reply, "RunningOS", os, 0);
    AddNamed(Reply, "OSUpdates", String("not implemented"), 0);
}

void ApplySetting(TTEVSettings& s, const SettingName& n, const String& value) {
    switch (n.kind) {
        case kText:
            s.*n.textField = value;
            break;
        case kInt: {
            // Checked already (Refusals): the file's forms, 0 and less for
            // the timeout among them, read as the loader reads them.
            int number = 0;
            String unused;
            if (CheckSettingNumber(n.key, value, ssRemote, number, unused)) s.*n.intField = number;
            break;
        }
        case kBool:
            s.*n.intField = tevDecodeBool(value) ? 1 : 0;
            break;
        case kMultiLine:
            s.*n.textField = tevDecodeStrings(value);
            break;
        case kIgnored:
            break;
    }
}

constexpr size_t kSettableCount = sizeof kSettable / sizeof kSettable[0];

// The values a SetSettings request gives, at most one per name: the last
// line of a name wins, as if the lines were applied one after another.
struct Changes {
    bool given[kSettableCount] = {};
    String value[kSettableCount];
    int line[kSettableCount] = {};  // the parameter line it came from
};

// Index of name in kSettable, or -1.
int FindSettable(const String& name) {
    for (size_t i = 0; i < kSettableCount; i++)
        if (name == kSettable[i].name) return int(i);
    return -1;
}

// Records "name=value" parameter line number lineNo; other lines are
// skipped, and a name the table does not know is noted for the failure log
// (the reply stays as it is: a server may send names of other platforms'
// agents). A CR inside a text value becomes a blank: written raw it would
// end the line for other readers of the file, and GetInfo's reply at that
// point.
void CollectLine(Changes& c, const String& line, int lineNo) {
    const int eq = line.Pos('=');
    if (!eq) return;
    String name = line.Copy(1, eq - 1);
    String value = line.Copy(eq + 1, line.Length());
    name.Trim();
    value.Trim();
    const int i = FindSettable(name);
    if (i < 0) {
        AddRequestNote(nkWarning, String("SetSettings: unknown setting name '") +
                                      name.ReplaceAll("\r", " ", 1) + "' in line " +
                                      tevFormatInt(lineNo) + " ignored");
        return;
    }
    if (kSettable[i].kind == kText) value = value.ReplaceAll("\r", " ", 1);
    c.given[i] = true;
    c.value[i] = value;
    c.line[i] = lineNo;
}

// The values the loader would refuse, by the loader's own rules (the file's
// forms: a timeout of 0 or less is fine, a port of 0 or an empty password
// is not), one line each: "Line <n>: <name>=<value>: <reason>", in the
// order of the request's lines, into lines (empty when every value passes).
void Refusals(const Changes& c, TStrList& lines) {
    std::vector<std::pair<int, String>> found;
    for (size_t i = 0; i < kSettableCount; i++) {
        const SettingName& n = kSettable[i];
        if (!c.given[i] || n.key == nullptr) continue;
        String reason;
        int number = 0;
        const int ok = n.kind == kInt
                           ? CheckSettingNumber(n.key, c.value[i], ssRemote, number, reason, n.name)
                           : CheckSettingText(n.key, c.value[i], reason, n.name);
        if (!ok)
            found.emplace_back(c.line[i],
                               String("Line ") + tevFormatInt(c.line[i]) + ": " + reason);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const std::pair<int, String>& a, const std::pair<int, String>& b) {
                         return a.first < b.first;
                     });
    for (const auto& f : found) lines.Add(f.second);
}

}  // namespace

namespace {

// The GetInfo lines, all from one settings record.
void AddStatus(const std::shared_ptr<const TTEVSettings>& s, TEVReply& Reply) {
    Reply.SetResult("200");
    Reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
    Reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
    Reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
    Reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
    Reply.AddVarParams("Service=%s", BoolConst[AgentStatus.Service ? 1 : 0]);
    Reply.AddVarParams("Active=%s", BoolConst[AgentStatus.Active ? 1 : 0]);
    Reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
    Reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
    Reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
    AddNamed(Reply, "Available tests", NameList(kTests), 1);
    AddNamed(Reply, "Enabled tests", EnableChars(*s, kTests), 0);
    Reply.AddVarParams("%s=%d", "Port", s->port);
    Reply.AddVarParams("%s=%d", "Timeout", s->timeout);
    AddNamed(Reply, "Comment", s->comment, 0);
    AddNamed(Reply, "Available actions", NameList(kActions), 1);
    AddNamed(Reply, "Enabled actions", EnableChars(*s, kActions), 0);
    AddHostLines(Reply);
}

}  // namespace

void GetAgentStatus(const QVRequest&, TEVReply& Reply) {
    AddStatus(Settings(), Reply);
}

void GetAgentSettings(const QVRequest&, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    AddStatus(s, Reply);
    AddNamed(Reply, "LogOkConn", String(BoolConst[s->logsuccess ? 1 : 0]), 0);
    AddNamed(Reply, "LogBadConn", String(BoolConst[s->logfails ? 1 : 0]), 0);
    AddNamed(Reply, "OkLogFile", s->oklogfile, 0);
    AddNamed(Reply, "BadLogFile", s->badlogfile, 0);
    AddNamed(Reply, "Password", s->password, 0);
    AddNamed(Reply, "IPFiltering", String(BoolConst[s->filteractive ? 1 : 0]), 0);
    AddNamed(Reply, "IPFilterAddr", s->filterlist, 1);
    AddNamed(Reply, "IPFilterMarks", s->filtermarks, 0);
    AddNamed(Reply, "AllowUpdates", String(BoolConst[s->allowupdates ? 1 : 0]), 0);
    AddNamed(Reply, "AllowRManage", String(BoolConst[s->allowmanage ? 1 : 0]), 0);
    AddNamed(Reply, "UpdateAddr", s->updateaddr, 0);
    AddNamed(Reply, "ManageAddr", s->manageaddr, 0);
}

void SetAgentSettings(const QVRequest& Req, TEVReply& Reply) {
    // The lines are worked through before the settings lock is taken: the
    // main thread needs that lock (reload, port fall-back), and a request
    // may carry any number of lines.
    Changes changes;
    const int count = Req.GetParamsCount();
    for (int i = 1; i <= count; i++) CollectLine(changes, Req.GetParam(i, 1), i);
    // A number that does not fit is refused, not wrapped into another value.
    int unused = 0;
    for (size_t i = 0; i < kSettableCount; i++) {
        if (changes.given[i] && kSettable[i].kind == kInt &&
            !tevDecodeIntInRange(changes.value[i], &unused)) {
            Reply.SetResult("501");
            Reply += "Wrong parameter";
            return;
        }
    }
    // One refused line refuses the request: nothing is changed or saved,
    // and the reply names every line refused. A server's settings page is
    // one change; half of it applied would leave a state nobody asked for.
    TStrList refusals;
    Refusals(changes, refusals);
    if (refusals.Count() > 0) {
        Reply.SetResult("300");
        for (int i = 0; i < refusals.Count(); i++) Reply.AddStringParam(refusals[i], 0);
        return;
    }
    String error;
    const int saved = TEVSettings.UpdateAndSave(
        [&changes](TTEVSettings& s) {
            for (size_t i = 0; i < kSettableCount; i++)
                if (changes.given[i]) ApplySetting(s, kSettable[i], changes.value[i]);
            FillZeroLimits(s);  // as after a load: a timeout of 0 is 4000
        },
        error);
    if (saved) {
        Reply.SetResult("200");
        return;
    }
    Reply.SetResult("300");
    Reply += error;
}
