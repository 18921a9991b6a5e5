// The start of a program for a request: its command line split into
// arguments, the one search along PATH, the folder it runs in, its
// environment and its descriptors, handed to childstart.h for the start
// itself. Waiting for it is process.h's.
#pragma once

#include <sys/types.h>

#include "platform/childstart.h"

// Most arguments a command line is split into, and the size of the buffer
// that holds their texts (each with its terminating zero).
const int kMaxCommandArgs = 23;
const int kCommandArgsBuffer = 1024;

// A command line split into arguments. Argv[Argc] is null.
struct TCommandArgs {
    char Buf[kCommandArgsBuffer];
    char* Argv[kMaxCommandArgs + 1];
    int Argc;
};

// Splits CommandLine (null: empty) into Args and returns the argument count.
// Blanks (spaces and tabs) between arguments are skipped. An argument that
// begins with ' or " runs to the next occurrence of that quote (or the end),
// quotes dropped; any other runs to the next space or tab, which is consumed.
// There is no escape character. Splitting stops after kMaxCommandArgs
// arguments or at the first argument that no longer fits in Args.Buf; the
// rest of the line is ignored.
int SplitCommandLine(const char* CommandLine, TCommandArgs& Args);

// A descriptor (O_PATH, close-on-exec) of the folder WorkDir for
// StartProgram; -1 with Err 0 when WorkDir is null or empty. A folder that
// cannot be entered (missing, not a folder, a loop of links, no search
// right) is -1 with Err the error number. Any thread.
int OpenWorkDir(const char* WorkDir, int& Err);

// Starts Argv[0] with the argument vector Argv (null-terminated, at least
// one entry) in its own session, with the signal dispositions and mask
// reset (signals the agent ignores, such as SIGPIPE, back to their
// defaults), in the folder DirFd when not -1 (else the caller's), with
// Fds[0..3] as its descriptors 0 to 3 as TStartPlan::Source describes (any
// number will do: the low ones are lifted first; -1: "/dev/null", or closed
// for 3) and no other descriptor of the caller, and with the agent's
// environment, TMPDIR set to TmpDir when that is not null.
// The program is searched as execvp does, once: a name with a '/' is the
// file itself; otherwise each directory of PATH ("/bin:/usr/bin" when
// unset; an empty entry is the working folder) in turn, passing over files
// that are missing or not accessible. The file found is run by /bin/sh when
// the system cannot execute it (no "#!" line), as execvp does. A program
// file another thread's child still holds open for writing (ETXTBSY) is
// tried again after short pauses.
// Returns 0 with Pid and PidFd (its pid descriptor, close-on-exec, or -1
// where the system gives none at the start), EAGAIN when no process could
// be made, or the error number of the failed set-up or exec. Any thread.
int StartProgram(char* const* Argv, int DirFd, const int (&Fds)[kPlannedFds], const char* TmpDir,
                 pid_t& Pid, int& PidFd);
