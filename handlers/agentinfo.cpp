#include "handlers/agentinfo.h"

#include <sys/utsname.h>

#include "config/settingnumber.h"
#include "config/settings.h"
#include "core/agentstatus.h"
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
};

const SettingName kSettable[] = {
    {"Comment", kText, nullptr, &TTEVSettings::comment},
    {"Port", kInt, &TTEVSettings::port, nullptr},
    {"Timeout", kInt, &TTEVSettings::timeout, nullptr},
    {"Password", kText, nullptr, &TTEVSettings::password},
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
        case kInt:
            s.*n.intField = tevDecodeInt(value);
            break;
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
};

// Index of name in kSettable, or -1.
int FindSettable(const String& name) {
    for (size_t i = 0; i < kSettableCount; i++)
        if (name == kSettable[i].name) return int(i);
    return -1;
}

// Records one "name=value" parameter line; other lines are skipped. A CR
// inside a text value becomes a blank: written raw it would end the line
// for other readers of the file, and GetInfo's reply at that point.
void CollectLine(Changes& c, const String& line) {
    const int eq = line.Pos('=');
    if (!eq) return;
    String name = line.Copy(1, eq - 1);
    String value = line.Copy(eq + 1, line.Length());
    name.Trim();
    value.Trim();
    const int i = FindSettable(name);
    if (i < 0) return;
    if (kSettable[i].kind == kText) value = value.ReplaceAll("\r", " ", 1);
    c.given[i] = true;
    c.value[i] = value;
}

// The error text for a value the agent could not live with, or empty.
String Refusal(const Changes& c) {
    for (size_t i = 0; i < kSettableCount; i++) {
        if (!c.given[i]) continue;
        const String name(kSettable[i].name);
        int number = 0;
        String detail;
        if (name == "Port") {
            if (!CheckSettingNumber("port", c.value[i], false, number, detail))
                return String("Port must be from 1 to 65535");
        } else if (name == "Timeout") {
            if (CheckSettingNumber("timeout", c.value[i], false, number, detail)) continue;
            // Too large for its field (it used to wrap): the check's own text.
            if (tevDecodeInt64(c.value[i]) > 0) return detail;
            return String("Timeout must be 1 or more");
        } else if (name == "Password") {
            if (c.value[i].Length() == 0) return String("Password must not be empty");
        }
    }
    return String();
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
    for (int i = 1; i <= count; i++) CollectLine(changes, Req.GetParam(i, 1));
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
    const String refusal = Refusal(changes);
    if (refusal.Length()) {
        Reply.SetResult("300");
        Reply += refusal;
        return;
    }
    String error;
    const int saved = TEVSettings.UpdateAndSave(
        [&changes](TTEVSettings& s) {
            for (size_t i = 0; i < kSettableCount; i++)
                if (changes.given[i]) ApplySetting(s, kSettable[i], changes.value[i]);
        },
        error);
    if (saved) {
        Reply.SetResult("200");
        return;
    }
    Reply.SetResult("300");
    Reply += error;
}
