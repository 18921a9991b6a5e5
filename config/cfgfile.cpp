#include "config/cfgfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/settingnumber.h"
#include "core/nearest.h"
#include "platform/filereplace.h"
#include "platform/syserror.h"
#include "protocol/valueforms.h"

namespace {

enum TValueForm { vfText, vfNumber, vfFlag, vfItems };

// One key of the file: its field (text for vfText/vfItems, number for
// vfNumber/vfFlag) and whether the save rewrites and appends it.
struct TKeyDef {
    const char* key;
    TValueForm form;
    bool saved;
    String TTEVSettings::*text;
    int TTEVSettings::*number;
};

#define TEXT_KEY(name, saved) \
    { #name, vfText, saved, &TTEVSettings::name, nullptr }
#define NUMBER_KEY(name, saved) \
    { #name, vfNumber, saved, nullptr, &TTEVSettings::name }
#define FLAG_KEY(name) \
    { #name, vfFlag, true, nullptr, &TTEVSettings::name }

const TKeyDef kKeys[] = {
    TEXT_KEY(tevpath, false),
    TEXT_KEY(host, true),
    NUMBER_KEY(port, true),
    NUMBER_KEY(timeout, true),
    TEXT_KEY(comment, true),
    TEXT_KEY(password, true),
    FLAG_KEY(filteractive),
    TEXT_KEY(filtermarks, true),
    {"filterlist", vfItems, true, &TTEVSettings::filterlist, nullptr},
    FLAG_KEY(logsuccess),
    FLAG_KEY(logfails),
    TEXT_KEY(oklogfile, true),
    TEXT_KEY(badlogfile, true),
    TEXT_KEY(verboselogfile, true),
    FLAG_KEY(allowupdates),
    FLAG_KEY(allowmanage),
    TEXT_KEY(updateaddr, true),
    TEXT_KEY(manageaddr, true),
    FLAG_KEY(unc),
    FLAG_KEY(freespace),
    FLAG_KEY(foldersize),
    FLAG_KEY(countfiles),
    FLAG_KEY(fileexists),
    FLAG_KEY(filecrc),
    FLAG_KEY(comparefiles),
    FLAG_KEY(process),
    FLAG_KEY(cpuusage),
    FLAG_KEY(script),
    FLAG_KEY(external),
    FLAG_KEY(ping),
    FLAG_KEY(tcp),
    FLAG_KEY(udp),
    FLAG_KEY(textlog),
    FLAG_KEY(shellscript),
    TEXT_KEY(cpuusagescript, false),
    TEXT_KEY(proclistscript, false),
    TEXT_KEY(proccntscript, false),
    TEXT_KEY(tmpdir, false),
    FLAG_KEY(executeaction),
    FLAG_KEY(tcpudpaction),
    FLAG_KEY(syslogaction),
    TEXT_KEY(pidfile, false),
    NUMBER_KEY(delayforscripts, false),
    NUMBER_KEY(transferidle, false),
};

#undef TEXT_KEY
#undef NUMBER_KEY
#undef FLAG_KEY

constexpr int kKeyCount = int(sizeof kKeys / sizeof kKeys[0]);

// Saved keys that the file lacks are appended in this order.
const char* const kAppendOrder[] = {
    "host",         "port",        "timeout",     "comment",        "password",
    "filteractive", "filtermarks", "filterlist",  "verboselogfile", "logsuccess",
    "logfails",     "oklogfile",   "badlogfile",  "allowupdates",   "allowmanage",
    "updateaddr",   "manageaddr",  "unc",         "freespace",      "foldersize",
    "countfiles",   "fileexists",  "filecrc",     "comparefiles",   "process",
    "cpuusage",     "script",      "external",    "ping",           "tcp",
    "udp",          "textlog",     "shellscript", "executeaction",  "tcpudpaction",
    "syslogaction",
};

// The rights whose misspelt key must not pass as an unknown key: the three
// that are on when their key is absent and let the server run programs or
// replace the agent, and the three actions. Their load defaults.
struct TGuardedRight {
    const char* key;
    int absent;
};
const TGuardedRight kGuardedRights[] = {
    {"external", 1},      {"shellscript", 1},  {"allowupdates", 1},
    {"executeaction", 0}, {"tcpudpaction", 0}, {"syslogaction", 0},
};

// The right of kGuardedRights whose key is at most two edits from key (an
// unknown key, lower case), or null.
const TGuardedRight* MistypedRight(const String& key) {
    const std::string word(key.Data() ? key.Data() : "", size_t(key.Length()));
    for (const TGuardedRight& r : kGuardedRights)
        if (EditDistance(word, r.key) <= 2) return &r;
    return nullptr;
}

// Index of key (lower case) in kKeys, -1 when unknown.
int FindKey(const String& key) {
    for (int i = 0; i < kKeyCount; i++)
        if (key == kKeys[i].key) return i;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Sets every field that has a load default; the other fields keep their
// values across loads.
void SetLoadDefaults(TTEVSettings& s) {
    s.tevpath = "";
    s.comment = "";
    s.password = "";
    s.filteractive = 0;
    s.filtermarks = "1";
    s.filterlist = "127.0.0.1";
    s.logsuccess = 0;
    s.logfails = 1;
    s.oklogfile = "log1.txt";
    s.badlogfile = "log2.txt";
    s.allowupdates = 1;
    s.allowmanage = 1;
    s.updateaddr = "127.0.0.1";
    s.manageaddr = "127.0.0.1";
    int TTEVSettings::*const rights[] = {
        &TTEVSettings::unc,          &TTEVSettings::freespace,  &TTEVSettings::foldersize,
        &TTEVSettings::countfiles,   &TTEVSettings::fileexists, &TTEVSettings::filecrc,
        &TTEVSettings::comparefiles, &TTEVSettings::process,    &TTEVSettings::cpuusage,
        &TTEVSettings::script,       &TTEVSettings::external,   &TTEVSettings::ping,
        &TTEVSettings::tcp,          &TTEVSettings::udp,        &TTEVSettings::textlog,
        &TTEVSettings::shellscript};
    for (int TTEVSettings::*right : rights) s.*right = 1;
    s.executeaction = 0;
    s.tcpudpaction = 0;
    s.syslogaction = 0;
    s.pidfile = "";
    s.delayforscripts = 90000;
    s.transferidle = 0;
}

// Address items as read: %0D/%0A decoded, trimmed, runs of blanks shrunk,
// every blank a CR LF, so items may be separated by blanks or line breaks.
String DecodeItems(const String& value) {
    String s = tevDecodeStrings(value);
    s.Trim();
    s.RemoveRepeats(' ');
    return s.ReplaceAll(" ", "\r\n", 1);
}

// A value as one line of the file: every line break (CR LF or a lone LF)
// becomes a blank. For address items this is their written form; for texts
// it keeps a value from ever starting a line of its own, which would let a
// remote settings change plant keys the agent never saves (tevpath).
String OneLine(const String& value) {
    return value.ReplaceAll("\r\n", " ", 1).ReplaceAll("\n", " ", 1).ReplaceAll("\r", " ", 1);
}

// The written form of key k's value in s.
String WrittenValue(const TTEVSettings& s, const TKeyDef& k) {
    switch (k.form) {
        case vfNumber:
            return tevFormatInt(s.*k.number);
        case vfFlag:
            return String(s.*k.number ? "1" : "0");
        case vfText:
        case vfItems:
            break;
    }
    return OneLine(s.*k.text);
}

// Applies one key=value line (line number lineNo) to s; unknown keys are
// ignored, but one close to a right of kGuardedRights appends its refusal
// to error. A number CheckSettingNumber refuses leaves its field alone and
// appends "  Line <n>: <its text>\n" to error; returns false then.
bool ApplyLine(TTEVSettings& s, const String& key, const String& value, int lineNo, String& error) {
    const int i = FindKey(key);
    if (i < 0) {
        // A typo of a right would leave it at its default, which for the
        // rights that run programs is on: refused, so it fails closed.
        const TGuardedRight* r = MistypedRight(key);
        if (!r) return true;
        error += String("  Line ") + tevFormatInt(lineNo) + ": " + key + "=" + value.Copy(1, 32) +
                 ": unknown key close to the right '" + r->key + "', which would stay " +
                 tevFormatInt(r->absent) + "; write the key as '" + r->key + "'\n";
        return false;
    }
    const TKeyDef& k = kKeys[i];
    switch (k.form) {
        case vfText:
            s.*k.text = value;
            break;
        case vfItems:
            s.*k.text = DecodeItems(value);
            break;
        case vfFlag:
            s.*k.number = (value.Length() > 0 && value[1] == '1') ? 1 : 0;
            break;
        case vfNumber: {
            int number = 0;
            String refusal;
            if (!CheckSettingNumber(k.key, value, true, number, refusal)) {
                char prefix[32];
                std::snprintf(prefix, sizeof prefix, "  Line %d: ", lineNo);
                error += prefix;
                error += refusal;
                error += "\n";
                return false;
            }
            // The port is taken only while none is set: the command line or
            // the first non-zero value of the first load wins.
            if (k.number != &TTEVSettings::port || s.port == 0) s.*k.number = number;
            break;
        }
    }
    return true;
}

// The configuration file path of s.
String CfgPath(const TTEVSettings& s) {
    return String(s.cfgfile, int(strnlen(s.cfgfile, sizeof s.cfgfile)));
}

// "Cannot open configuration file '<path>'" and, on a line of its own, the
// system's text for err (the reason an operator needs: missing, no right
// to read it, ...).
String CannotOpen(const String& path, int err) {
    String text = String("Cannot open configuration file '") + path + "'";
    const String reason = GetErrorStr(err);
    if (reason.Length() > 0) text += String("\n") + reason;
    return text;
}

// Opens path for reading, close-on-exec; null on failure.
FILE* OpenForReading(const String& path) {
    return std::fopen(ZeroTerminated(path).Data(), "re");
}

// Reads the next line of f, line end included, into line. Returns false at
// the end of the file or on a read error (ferror tells them apart).
bool ReadLine(FILE* f, String& line) {
    char* buf = nullptr;
    size_t cap = 0;
    const ssize_t n = getline(&buf, &cap, f);
    if (n >= 0) line.CopyData(buf, int(n));
    std::free(buf);
    return n >= 0;
}

// Loads every line of f into s. Returns false on a read error; refused
// numbers are listed in refusals (see ApplyLine) and do not stop the read.
bool ReadSettings(FILE* f, TTEVSettings& s, String& refusals) {
    String line;
    String key;
    String value;
    int valuePos = 0;
    int lineNo = 0;
    while (ReadLine(f, line)) {
        lineNo++;
        if (SplitCfgLine(line, key, valuePos, value)) ApplyLine(s, key, value, lineNo, refusals);
    }
    return !std::ferror(f);
}

// Line with key k's current value in place of the old one: text and number
// values replace everything from the value position on, a flag replaces the
// old value's first character (or is inserted when the value was empty).
String RewriteLine(const TTEVSettings& s, const TKeyDef& k, const String& line, int valuePos,
                   const String& oldValue) {
    if (k.form != vfFlag) return line.Copy(1, valuePos) + WrittenValue(s, k);
    const char mark = s.*k.number ? '1' : '0';
    if (oldValue.Length() == 0)
        return line.Copy(1, valuePos) + mark + line.Copy(valuePos + 1, line.Length());
    String out(line);
    out[valuePos + 1] = mark;
    return out;
}

// Reads f and builds the rewritten file for s into out, the old bytes into
// old. Returns false on a read error.
bool BuildNewContent(FILE* f, const TTEVSettings& s, String& out, String& old) {
    bool written[kKeyCount] = {};
    String line;
    String key;
    String value;
    int valuePos = 0;
    while (ReadLine(f, line)) {
        old += line;
        String result = line;
        if (SplitCfgLine(line, key, valuePos, value)) {
            const int i = FindKey(key);
            if (i >= 0 && kKeys[i].saved) {
                written[i] = true;
                result = RewriteLine(s, kKeys[i], line, valuePos, value);
            }
        }
        if (result.Length() == 0 || result[result.Length()] != '\n') result += "\r\n";
        out += result;
    }
    if (std::ferror(f)) return false;
    for (const char* name : kAppendOrder) {
        const int i = FindKey(String(name));
        if (written[i]) continue;
        out += name;
        out += '=';
        out += WrittenValue(s, kKeys[i]);
        out += "\r\n";
    }
    return true;
}

}  // namespace

int SplitCfgLine(const String& line, String& key, int& valuePos, String& value) {
    const int len = line.Length();
    if (len == 0 || line[1] == '#' || line[1] == ';') return 0;
    const int eq = line.Pos('=');
    if (eq == 0) return 0;
    int b = 1;
    int e = eq - 1;
    while (b <= e && IsBlank(line[b])) b++;
    while (e >= b && IsBlank(line[e])) e--;
    key = line.Copy(b, e - b + 1);
    key.LowerCase();
    valuePos = eq;  // 0-based offset of the byte after '='
    while (valuePos < len && IsBlank(line[valuePos + 1])) valuePos++;
    int end = len;
    while (end > valuePos && (IsBlank(line[end]) || line[end] == '\r' || line[end] == '\n')) end--;
    value = line.Copy(valuePos + 1, end - valuePos);
    return 1;
}

int LoadCfgFile(TTEVSettings& s, String& error) {
    error = "";
    SetLoadDefaults(s);
    const String cfg = CfgPath(s);
    if (cfg.Length() == 0) {
        error = "Configuration file is not specified";
        return 0;
    }
    FILE* f = OpenForReading(cfg);
    String refusals;
    const bool readOk = f && ReadSettings(f, s, refusals);
    const int err = errno;
    if (f) std::fclose(f);
    if (!readOk) {
        error = CannotOpen(cfg, err);
        return 0;
    }
    if (refusals.Length() == 0) return 1;
    error = refusals;
    return -1;
}

int SaveCfgFile(const TTEVSettings& s, String& error) {
    const String cfg = CfgPath(s);
    if (cfg.Length() == 0) {
        error = "Configuration file is not specified";
        return 0;
    }
    TFileReplacement r;
    r.target = ReplacementTarget(cfg);
    FILE* f = OpenForReading(r.target);
    String content;
    const bool readOk =
        f && ReadOwnership(fileno(f), r.own) && BuildNewContent(f, s, content, r.previous);
    const int err = errno;
    if (f) std::fclose(f);
    if (!readOk) {
        error = CannotOpen(cfg, err);
        return 0;
    }
    r.temp = r.target + ".New";
    r.backup = r.target + ".Old";
    switch (ReplaceFile(r, content)) {
        case rrDone:
            return 1;
        case rrNoTemp:
            error = String("Cannot create new configuration file '") + r.temp + "'";
            return 0;
        case rrNoRename:
            break;
    }
    error = String("Cannot overwrite configuration file '") + cfg + "'";
    return 0;
}

namespace {

// The loader's keys, for the "did you mean" hint.
std::vector<const char*> KnownKeys() {
    std::vector<const char*> keys;
    for (const TKeyDef& k : kKeys) keys.push_back(k.key);
    return keys;
}

// The first blank-separated word of line, at most 32 characters.
String FirstWord(const String& line) {
    int b = 1;
    while (b <= line.Length() && IsBlank(line[b])) b++;
    int e = b;
    while (e <= line.Length() && !IsBlank(line[e]) && line[e] != '\r' && line[e] != '\n' &&
           e - b < 32)
        e++;
    return line.Copy(b, e - b);
}

bool IsBlankLine(const String& line) {
    for (int i = 1; i <= line.Length(); i++)
        if (!IsBlank(line[i]) && line[i] != '\r' && line[i] != '\n') return false;
    return true;
}

}  // namespace

int FindIgnoredCfgLines(const String& path, TStrList& warnings) {
    FILE* f = OpenForReading(path);
    if (!f) return 0;
    const std::vector<const char*> known = KnownKeys();
    String line;
    String key;
    String value;
    int valuePos = 0;
    int number = 0;
    while (ReadLine(f, line)) {
        number++;
        const String where = String(" in ") + path + " line " + tevFormatInt(number);
        if (SplitCfgLine(line, key, valuePos, value)) {
            // Known keys are read; a right's typo is the loader's error.
            if (FindKey(key) >= 0 || MistypedRight(key)) continue;
            String text = String("unknown key '") + key + "'" + where;
            const std::string word(key.Data() ? key.Data() : "", size_t(key.Length()));
            const char* near = NearestName(word, known);
            if (near) text += String(" (did you mean '") + near + "'?)";
            warnings.Add(text);
        } else if (!IsBlankLine(line) && line[1] != '#' && line[1] != ';') {
            warnings.Add(String("line without '='") + where + " (starts with '" + FirstWord(line) +
                         "')");
        }
    }
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok ? 1 : 0;
}

void DescribeProgramRights(const TTEVSettings& s, TStrList& rights) {
    struct TRight {
        const char* key;
        int TTEVSettings::*field;
        int line;
    } list[] = {
        {"external", &TTEVSettings::external, 0},
        {"shellscript", &TTEVSettings::shellscript, 0},
        {"executeaction", &TTEVSettings::executeaction, 0},
        {"allowupdates", &TTEVSettings::allowupdates, 0},
    };
    if (FILE* f = OpenForReading(CfgPath(s))) {
        String line, key, value;
        int valuePos = 0;
        for (int number = 1; ReadLine(f, line); number++) {
            if (!SplitCfgLine(line, key, valuePos, value)) continue;
            for (TRight& r : list)
                if (key == r.key) r.line = number;
        }
        std::fclose(f);
    }
    for (const TRight& r : list) {
        if (!(s.*r.field)) continue;
        rights.Add(
            String(r.key) + "=1 (" +
            (r.line ? String("line ") + tevFormatInt(r.line) : String("default: key absent")) +
            ")");
    }
}
