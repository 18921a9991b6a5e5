#include "agent/cfgwarnings.h"

#include <cstring>

#include "agent/console.h"
#include "config/cfgfile.h"
#include "config/settings.h"

void IgnoredCfgLineWarnings(TStrList& warnings) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    const String path(s->cfgfile, int(strnlen(s->cfgfile, sizeof s->cfgfile)));
    if (path.Length() == 0) return;
    TStrList found;
    FindIgnoredCfgLines(path, found);
    for (int i = 0; i < found.Count(); i++) warnings.Add(String("Warning: ") + found[i]);
}

void ReportIgnoredCfgLines() {
    TStrList warnings;
    IgnoredCfgLineWarnings(warnings);
    for (int i = 0; i < warnings.Count(); i++) {
        String line = warnings[i];
        line.SetZero();
        showmessage("%s\n", NoPeer(), mtFailure, 1, line.Data());
    }
}

void ReportProgramRights() {
    TStrList rights;
    DescribeProgramRights(*Settings(), rights);
    String text;
    for (int i = 0; i < rights.Count(); i++) {
        if (i) text += ", ";
        text += rights[i];
    }
    if (rights.Count() == 0) text = "none on";
    text.SetZero();
    showmessage("Rights that run programs: %s\n", NoPeer(), mtInfo, 1, text.Data());
}

namespace {

// The load reporter of the reloads (config/settings.h).
void ReportReload(int result, const String& error) {
    if (result) {
        ReportProgramRights();
        return;
    }
    String text = error;
    // The loader's messages are indented lines; one message a line.
    text.Trim();
    text.SetZero();
    showmessage("Configuration reload failed, the settings in force stay:\n%s\n", NoPeer(),
                mtFailure, 1, text.Data());
}

}  // namespace

void ReportConfigurationAtStart() {
    ReportProgramRights();
    SetLoadReporter(ReportReload);
}
