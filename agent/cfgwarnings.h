// Warnings about configuration lines the loader passes over (unknown keys,
// lines without '='), reported at start and after every reload, so that a
// mistyped key does not silently leave a right at its default.
#pragma once

#include "core/zostring.h"

// The warnings for the configuration file of the current settings, each
// "Warning: " followed by a text of FindIgnoredCfgLines (config/cfgfile.h).
// Nothing when the file cannot be read (the load reports that). Any thread.
void IgnoredCfgLineWarnings(TStrList& warnings);

// Reports each of those warnings through showmessage (class mtFailure, no
// peer), one message a line. For the reloads (SIGHUP, ReloadCfg); any
// thread but a signal handler.
void ReportIgnoredCfgLines();

// Reports the rights that run programs and are on, with where each came
// from (DescribeProgramRights, config/cfgfile.h), in one message of class
// mtInfo: "Rights that run programs: external=1 (default: key absent),
// shellscript=1 (line 37)" or "Rights that run programs: none on". Any
// thread but a signal handler.
void ReportProgramRights();

// Once the first load is done: reports the rights that run programs (the
// verbose log) and makes every later reload report itself: a failed one
// "Configuration reload failed, the settings in force stay:" and the
// loader's text (class mtFailure), a successful one the rights again.
void ReportConfigurationAtStart();
