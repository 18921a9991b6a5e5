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
