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
