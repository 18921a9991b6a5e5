// Signal handlers. They only set flags or call async-signal-safe functions;
// the main loop does the work.
#pragma once

// SIGHUP (daemon mode): asks the main loop to reload the configuration.
void reloadcfg(int sig);
// SIGSEGV: reports "Segmentation fault!!" on standard output; after the
// first 180 seconds of life the agent re-executes itself (`tevpath` with the
// same arguments, "Restarting.."), otherwise it ends by the default action.
void reloadapp(int sig);

// Remembers what the crash handler needs, prepared while allocation is
// still allowed: the program path and the argument vector.
void PrepareCrashRestart(const char* tevpath, char** argv);
// Installs reloadapp for SIGSEGV and ignores SIGPIPE.
void InstallCrashHandlers();
// Installs reloadcfg for SIGHUP.
void InstallReloadHandler();
