// Signal handlers. They only set flags or call async-signal-safe functions;
// the main loop does the work.
#pragma once

// SIGHUP (daemon mode): asks the main loop to reload the configuration.
void reloadcfg(int sig);
// SIGSEGV: reports "Segmentation fault!!" on standard output; after the
// first 180 seconds of life the agent re-executes itself (`tevpath` with the
// same arguments, "Restarting.."), otherwise it ends by the default action.
void crashhandler(int sig);

// Remembers what the crash handler needs, prepared while allocation is
// still allowed: the program path and the argument vector.
void PrepareCrashRestart(const char* tevpath, char** argv);
// SIGTERM and SIGINT: ask the main loop to end the agent as "QUIT" does
// (running requests' children and temporary files ended, the pid file
// removed, exit code 0): raises the terminate flag and wakes the loop.
void terminateapp(int sig);

// Installs crashhandler for SIGSEGV (run on an alternate stack, so that a
// stack overflow reaches it) and terminateapp for SIGTERM and SIGINT, and ignores
// SIGPIPE. Main thread, at start-up.
void InstallCrashHandlers();
// Unblocks every signal in the calling thread. A mask is inherited across
// fork and exec, so an agent started by a parent that blocks signals (or
// re-executed from inside a signal handler) would otherwise keep it, and so
// would every child. Main thread, at start-up, before any thread exists.
void ClearSignalMask();
// Gives the calling thread an alternate signal stack. Returns the memory to
// hand to RemoveAltStack when the thread ends, or null when none was set.
void* InstallAltStack();
// Switches the calling thread's alternate stack off and frees it; nothing
// for null.
void RemoveAltStack(void* stack);
// Installs reloadcfg for SIGHUP.
void InstallReloadHandler();
