// The pid file of a daemon, held under an exclusive lock for the life of
// the process so that a second daemon on the same file notices.
#pragma once

// Opens the `pidfile` setting's file, locks it without waiting and writes
// "<pid>\n". Returns the descriptor, or -1 after reporting "Failed to create
// pid file %s\n" or "Failed to lock pid file %s\n" (class mtFailure). A file
// locked by another process is left untouched, and so is one that holds
// anything but a process number (reported with a second line, "The file
// holds something other than a process number and is left as it is").
int createpidfile();
// Closes fd and deletes the pid file; nothing for -1.
void closepidfile(int fd);
// The path of the pid file created, or "" (for the crash handler, which
// cannot allocate).
const char* PidFilePath();
