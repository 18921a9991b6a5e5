#include "config/settingsrecord.h"

#include <cstdlib>

#include "platform/filepath.h"

const char kBuiltinScript[] = "builtin";

bool IsBuiltinScript(const String& value) {
    return value == kBuiltinScript;
}

TTEVSettings::TTEVSettings()
    : interactive(0),
      verbose(0),
      debug(0),
      cfgfile{},
      port(0),
      timeout(0),
      delayforscripts(0),
      transferidle(0),
      logsuccess(0),
      filteractive(0),
      logfails(0),
      allowupdates(0),
      allowmanage(0),
      unc(0),
      freespace(0),
      foldersize(0),
      countfiles(0),
      fileexists(0),
      filecrc(0),
      comparefiles(0),
      process(0),
      cpuusage(0),
      script(0),
      external(0),
      ping(0),
      tcp(0),
      udp(0),
      textlog(0),
      shellscript(0),
      executeaction(0),
      tcpudpaction(0),
      syslogaction(0) {}

namespace {

// Rebuilds s.activefilter from filterlist and filtermarks; sets error when a
// mark has no item. See TTEVSettings::PutRight step 1.
void BuildActiveFilter(TTEVSettings& s, String& error) {
    s.activefilter = "\r\n";
    for (int i = 1; i <= s.filtermarks.Length(); i++) {
        String item = s.filterlist.GetWord(i, '\n');
        item.Trim();
        if (item.Length() == 0) {
            error = "FilterMarks has less items than FilterList";
            return;
        }
        if (s.filtermarks[i] == '1') {
            s.activefilter += item;
            s.activefilter += "\r\n";
        }
    }
}

// Puts dir in front of a non-empty script path that holds no '/'; the
// builtin value names no file.
void CompleteScriptPath(String& path, const String& dir) {
    if (path.Length() > 0 && path.Pos('/') == 0 && !IsBuiltinScript(path)) path = dir + path;
}

// The value of the environment variable name, or null when it is unset.
// The agent's environment is read, never written, so this is safe on any
// thread.
const char* EnvOrNull(const char* name) {
    return std::getenv(name);
}

// Settles s.tmpdir. See PutRight step 3.
void SettleTmpDir(TTEVSettings& s) {
    if (s.tmpdir.Length() == 0 || !DirectoryExists(s.tmpdir)) {
        const char* env = EnvOrNull("TMPDIR");
        if (!env) env = EnvOrNull("TMP");
        String taken(env ? env : "");
        s.tmpdir = (taken.Length() > 0 && DirectoryExists(taken)) ? taken : String(".");
    }
    // The root directory keeps its only '/': an empty name would stand for
    // "no directory" to every program that reads TMPDIR.
    if (s.tmpdir.Length() > 1) s.tmpdir = ExcludeTrailingPathDelimiter(s.tmpdir);
}

}  // namespace

void TTEVSettings::PutRight(String& error) {
    BuildActiveFilter(*this, error);
    const String dir = ExtractFilePath(tevpath);
    if (dir.Length() > 0) {
        CompleteScriptPath(cpuusagescript, dir);
        CompleteScriptPath(proclistscript, dir);
        CompleteScriptPath(proccntscript, dir);
    }
    SettleTmpDir(*this);
}
