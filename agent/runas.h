// The option "-u USER": the agent, started as root, opens its port, its pid
// file and its logs, then goes on as USER with only CAP_DAC_READ_SEARCH
// (platform/privilege.h). Its own re-execution (a restart, a crash restart,
// the update script of a self-upgrade) starts the program with the same
// arguments, so "-u USER" comes again to a process that is USER already:
// that is accepted, with the capability it brought along.
//
// All functions run in the main thread during start-up, before any other
// thread exists.
#pragma once

// Records "-u Name". Returns null when accepted: the agent runs as root, or
// already as that user (a re-execution). Otherwise the error text for
// showhelp: an unknown user, the user root, or an agent that is neither
// root nor that user ("-u" cannot change to another user without root).
const char* TakeRunAsUser(const char* Name);

// The user named by "-u", or null when none was given.
const char* RunAsUser();

// With "-u" given as root: the listening port must be one that USER may
// open again when the agent re-executes itself. A port below the system's
// unprivileged start prints "Error\n" and the reason and ends the process
// with exit code 1. Nothing otherwise.
void CheckRunAsPort(int Port);

// With "-u" given as root: becomes USER (the port, the pid file and the log
// files are open or named already). Returns 1 when done or nothing to do, 0
// after reporting the failure (class mtFailure): the process must end. As
// USER without the capability (a kernel without the ambient set lost it on
// re-execution) it reports that files only root may read cannot be tested.
int BecomeRunAsUser();
