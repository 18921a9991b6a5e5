// Child processes with time limits.
#pragma once

#include "core/zostring.h"

// Runs CommandLine as a child process (no shell: the line is split into at
// most 23 arguments, quotes grouping, and the program searched along PATH) in
// its own session, in WorkDir when given, with standard input from StdinFile
// and standard output and error to StdoutFile and StderrFile (each null:
// "/dev/null"), and waits up to Timeout milliseconds (0: no limit, -1: do not
// wait beyond about a second). Callable from any session thread.
// Returns 1 when the program ran; ExitCode then holds its exit code.
// Returns 0 when it could not run or did not end normally; Error then holds
// "fork error", "cannot terminate process", "abnormal termination" or
// "exec error: <system text>". Error is emptied at the start.
int SystemEx2(const char* CommandLine, const char* WorkDir, const char* StdinFile,
              const char* StdoutFile, const char* StderrFile, int Timeout, int& ExitCode,
              String& Error);

// SystemEx2 with "/dev/null" for all three standard streams.
int SystemEx(const char* CommandLine, const char* WorkDir, int Timeout, int& ExitCode,
             String& Error);
