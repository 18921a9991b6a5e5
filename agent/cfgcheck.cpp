#include "agent/cfgcheck.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/console.h"
#include "config/cfgfile.h"
#include "config/settings.h"
#include "platform/filepath.h"

namespace {

struct Findings {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

bool Executable(const String& path) {
    String p(path);
    p.SetZero();
    return FileExists(path) && access(p.Data(), X_OK) == 0;
}

// The loader's messages: a failure text holds one message a line, each
// indented by two blanks or none; a line indented further, or the reason
// after "Cannot open configuration file", is the detail of the message
// before it and stays with it, on a line of its own.
void LoaderFindings(const String& text, bool failed, Findings& f) {
    std::vector<std::string>& list = failed ? f.errors : f.warnings;
    std::string all = ToStd(text);
    size_t start = 0;
    bool afterOpen = false;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        start = end + 1;
        const size_t b = line.find_first_not_of(' ');
        if (b == std::string::npos) continue;
        if (!list.empty() && (b >= 4 || afterOpen)) {
            list.back() += "\n       " + line.substr(b);
            afterOpen = false;
            continue;
        }
        afterOpen = line.compare(b, 30, "Cannot open configuration file") == 0;
        list.push_back(line.substr(b));
    }
}

// Numbers are checked by the loader itself (one range check for the file,
// the command line and SetSettings); its errors arrive through
// LoaderFindings. The flags are only read as 0 or 1: anything else is
// worth a warning.
const char* const kFlagKeys[] = {
    "filteractive", "logsuccess", "logfails",    "allowupdates",  "allowmanage",  "unc",
    "freespace",    "foldersize", "countfiles",  "fileexists",    "filecrc",      "comparefiles",
    "process",      "cpuusage",   "script",      "external",      "ping",         "tcp",
    "udp",          "textlog",    "shellscript", "executeaction", "tcpudpaction", "syslogaction"};

std::string Where(const char* cfgfile, int line) {
    return std::string(" in ") + cfgfile + " line " + std::to_string(line);
}

void CheckCfgFlags(const char* cfgfile, Findings& f) {
    FILE* in = std::fopen(cfgfile, "re");
    if (!in) return;
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    int number = 0;
    while ((n = getline(&buf, &cap, in)) >= 0) {
        number++;
        String key, value;
        int valuePos = 0;
        if (!SplitCfgLine(String(buf, int(n)), key, valuePos, value)) continue;
        const std::string k = ToStd(key);
        const std::string v = ToStd(value);
        for (const char* flag : kFlagKeys)
            if (k == flag && v != "0" && v != "1")
                f.warnings.push_back("flag '" + k + "'" + Where(cfgfile, number) + " is '" + v +
                                     "', which reads as " + (v.size() && v[0] == '1' ? "1" : "0") +
                                     " (write 0 or 1)");
    }
    std::free(buf);
    std::fclose(in);
}

// A script the agent runs for a right that is on.
void CheckScript(const char* key, const String& path, int right, const char* rightName,
                 const char* requests, Findings& f) {
    if (!right || IsBuiltinScript(path)) return;
    const std::string p = ToStd(path);
    const std::string use =
        std::string(" (") + requests + " would answer 301; or set " + rightName + "=0)";
    if (p.empty())
        f.warnings.push_back(std::string(key) + " is not set" + use);
    else if (!FileExists(path))
        f.warnings.push_back(std::string(key) + " '" + p + "' does not exist" + use);
    else if (!Executable(path))
        f.warnings.push_back(std::string(key) + " '" + p + "' is not executable" + use);
}

// The folder a file setting needs.
void CheckFolderOf(const char* key, const String& file, const char* cfgfile, Findings& f,
                   const char* note) {
    if (file.Length() == 0) return;
    const String path = LogFilePath(file, cfgfile);
    String dir = ExtractFilePath(path);
    if (dir.Length() == 0) return;  // the agent's working directory
    if (!DirectoryExists(dir))
        f.warnings.push_back(std::string(key) + " '" + ToStd(path) + "': folder '" + ToStd(dir) +
                             "' does not exist" + note);
}

void CheckPaths(const TTEVSettings& s, const char* cfgfile, Findings& f) {
    if (s.tevpath.Length() > 0 && FileExists(s.tevpath) && !Executable(s.tevpath))
        f.errors.push_back("tevpath '" + ToStd(s.tevpath) +
                           "' is not executable (restart and upgrade would fail)");
    CheckScript("proccntscript", s.proccntscript, s.process, "process", "TEST-Process", f);
    CheckScript("proclistscript", s.proclistscript, s.process, "process", "GetProcessesList", f);
    CheckScript("cpuusagescript", s.cpuusagescript, s.cpuusage, "cpuusage", "TEST-CPU", f);
    if (s.logsuccess) CheckFolderOf("oklogfile", s.oklogfile, cfgfile, f, "");
    if (s.logfails) CheckFolderOf("badlogfile", s.badlogfile, cfgfile, f, "");
    CheckFolderOf("verboselogfile", s.verboselogfile, cfgfile, f, " (written with -v)");
    if (s.pidfile.Length() > 0) {
        const String dir = ExtractFilePath(s.pidfile);
        if (dir.Length() > 0 && !DirectoryExists(dir))
            f.warnings.push_back("pidfile '" + ToStd(s.pidfile) + "': folder '" + ToStd(dir) +
                                 "' does not exist");
    }
}

// tmpdir as the file gives it (the load replaces a missing folder).
void CheckTmpDir(const char* cfgfile, Findings& f) {
    FILE* in = std::fopen(cfgfile, "re");
    if (!in) return;
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    String last;
    while ((n = getline(&buf, &cap, in)) >= 0) {
        String key, value;
        int valuePos = 0;
        if (SplitCfgLine(String(buf, int(n)), key, valuePos, value) && key == "tmpdir")
            last = value;
    }
    std::free(buf);
    std::fclose(in);
    if (last.Length() > 0 && !DirectoryExists(last))
        f.warnings.push_back("tmpdir '" + ToStd(last) +
                             "' is not a folder (the agent uses $TMPDIR, $TMP or . instead)");
}

// The password of the sample configuration (etc/tev.cfg): anyone who has
// read the sample knows it.
const char kSamplePassword[] = "change-me";

void CheckPassword(const TTEVSettings& s, Findings& f) {
    if (s.password == kSamplePassword)
        f.warnings.push_back("password is the sample's placeholder '" +
                             std::string(kSamplePassword) +
                             "' (anyone who has read the sample can use the agent)");
}

}  // namespace

int CheckConfiguration(const char* cfgfile) {
    Findings f;
    TTEVSettings s;
    std::strncpy(s.cfgfile, cfgfile, sizeof s.cfgfile - 1);
    String error;
    const int loaded = LoadOptions_(s, error);
    LoaderFindings(error, !loaded, f);
    const String path(cfgfile);
    TStrList ignored;
    const bool readable = FindIgnoredCfgLines(path, ignored);
    if (readable) {
        for (int i = 0; i < ignored.Count(); i++) f.warnings.push_back(ToStd(ignored[i]));
        CheckCfgFlags(cfgfile, f);
        CheckPaths(s, cfgfile, f);
        CheckTmpDir(cfgfile, f);
        CheckPassword(s, f);
    }
    for (const std::string& e : f.errors) std::printf("Error: %s\n", e.c_str());
    for (const std::string& w : f.warnings) std::printf("Warning: %s\n", w.c_str());
    if (loaded) {
        TStrList rights;
        DescribeProgramRights(s, rights);
        std::printf("Rights that run programs:%s\n", rights.Count() ? "" : " none on");
        for (int i = 0; i < rights.Count(); i++)
            std::printf("  %s\n", ZeroTerminated(rights[i]).Data());
    }
    const size_t ne = f.errors.size();
    const size_t nw = f.warnings.size();
    if (ne + nw == 0) {
        std::printf("%s: Ok\n", cfgfile);
        return 0;
    }
    std::printf("%s: %zu error%s, %zu warning%s\n", cfgfile, ne, ne == 1 ? "" : "s", nw,
                nw == 1 ? "" : "s");
    return ne ? 1 : 3;
}
