// Start-up steps of the agent: banner, command line, self-checks, daemon.
// All run in the only thread, before any session exists.
#pragma once

// Prints the banner.
void PrintBanner();
// Prints text to standard output at once (progress lines end without a
// line break and are continued by the next output).
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Prints "%s\n\n" with error, then the usage text, and exits with code 1.
[[noreturn]] void showhelp(const char* error);
// The long options, recognised only as the first argument (every other
// command line keeps its meaning): "--test CFG REQUEST [PARAM...]" (local
// test, agent/localtest.h), "--check CFG" (agent/cfgcheck.h), "--version",
// "--help". Returns -1 when argv[1] is none of them; otherwise runs it and
// returns the exit code (a missing argument: a message and 2).
int RunLongOption(int argc, char** argv);
// Parses `tev [-d|-i] [-v|-vd] [-p <port>] <cfg_file>` in its fixed order into
// the settings record; calls showhelp on a missing argument or bad port.
// Arguments after cfg_file are not read: they are named on standard error,
// "tev: ignored after the configuration file: <args>".
void ParseCommandLine(int argc, char** argv);
// The two encryption checks; on a mismatch prints "Error" and exits with 3.
void EncryptionChecks();
// Forks: the child starts a new session with the standard streams on
// /dev/null, installs the SIGHUP handler and returns 0. The parent waits
// until the child calls daemon_ready (at most 30 s), then prints "Daemon
// started" and exits 0; when the child ends before that, the parent exits
// with the child's exit code. Returns -1 when the pipe or fork fails.
int daemon_init();
// Tells the waiting parent of daemon_init that the daemon is serving and
// its pid file is written. Nothing when not daemonised or already told.
void daemon_ready();
// Raises the soft limit on open descriptors to the hard limit, so that the
// session cap, not the descriptor limit, is what bounds the connections.
void RaiseDescriptorLimit();
// Opens /dev/null on each standard descriptor that is closed. Otherwise the
// first socket or file the agent opens would take its number, and progress
// lines written to standard output would land in it. First thing in main.
void OpenStandardDescriptors();
