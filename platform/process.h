// Child processes with time limits: the run of a program from its start
// to the end of the wait for it.
//
// Children are started as processstart.h and childstart.h describe
// (nothing runs in the child between its creation and exec but system calls
// prepared beforehand), each in its own session, with the signal dispositions and mask reset and no
// descriptor of the agent but the ones handed over. An exec failure comes
// back as the start's result. The end of a child is waited for on the pid
// descriptor its start returns (polling every few milliseconds where the
// system has none), so a time limit holds to within tens of milliseconds; at
// the limit the child's whole process group is killed.
#pragma once

#include "core/zostring.h"
#include "platform/processstart.h"

// Runs CommandLine as a child process (no shell: the line is split into at
// most 23 arguments, quotes grouping, and the program searched along PATH) in
// its own session, in WorkDir when given (one that cannot be entered starts
// nothing: 0, Error kWorkDirErrorText and the system's text), with standard
// input from StdinFile
// and standard output and error to StdoutFile and StderrFile (each null:
// "/dev/null"), and waits up to Timeout milliseconds (0: no limit, -1: do not
// wait beyond about a second). Callable from any session thread.
// Returns 1 when the program ran; ExitCode then holds its exit code.
// Returns 0 when it could not run or did not end normally; Error then holds
// "fork error", "cannot terminate process", "abnormal termination" or
// "exec error: <system text>", or the texts of RunProgram for a child killed
// because its request's peer went or because it wrote more than
// kChildOutputCap into StdoutFile or StderrFile (the files are cut back to
// the cap). Error is emptied at the start. TmpDir, when not null, is the
// child's TMPDIR (see TChildFds).
int SystemEx2(const char* CommandLine, const char* WorkDir, const char* StdinFile,
              const char* StdoutFile, const char* StderrFile, int Timeout, int& ExitCode,
              String& Error, const char* TmpDir = nullptr);

// SystemEx2 with "/dev/null" for all three standard streams.
int SystemEx(const char* CommandLine, const char* WorkDir, int Timeout, int& ExitCode,
             String& Error, const char* TmpDir = nullptr);

// Descriptors a child gets as its standard streams and as descriptor 3.
// Each is a descriptor of the caller (close-on-exec is fine; it is copied
// into place) or -1: "/dev/null" for 0 to 2, closed for 3. The same
// descriptor may be given for several. The caller keeps and closes them.
// OutCap, when above 0, caps the files behind Out and Err (regular files
// the caller created): the child is killed once either grows beyond OutCap
// bytes, and the file is cut back to OutCap.
// TmpDir, when not null, is the child's TMPDIR: its environment is the
// agent's with that one variable set, built for this start alone (the
// agent never changes its own environment once threads run).
// Collect, when not null, takes the child's standard output, standard error
// and descriptor 3 instead of Out, Err and Fd3: one pipe, emptied while the
// wait lasts (and once more at the child's end) and appended to *Collect.
// No file is involved. OutCap, when above 0, caps it too: the child is
// killed once more than OutCap bytes came, and *Collect is cut back to
// OutCap. What a process of the child's group writes after the wait is
// lost. With Timeout -1 nothing is collected (the streams are Out, Err and
// Fd3).
struct TChildFds {
    int In = -1;
    int Out = -1;
    int Err = -1;
    int Fd3 = -1;
    long long OutCap = 0;
    const char* TmpDir = nullptr;
    String* Collect = nullptr;
};

// Most output a program may leave in a file the agent created for it.
const long long kChildOutputCap = 16LL * 1024 * 1024;
// Error text of a program killed for writing more than kChildOutputCap:
// "Output limit of 16 MiB exceeded".
extern const char kOutputCapText[];
// Start of the error text of a working folder that cannot be entered:
// "cannot enter working folder: ", the system's text follows.
extern const char kWorkDirErrorText[];

// RunProgram's results when the child was killed: at its time limit; because
// the peer of the request it ran for closed its connection; for output
// beyond the cap.
const int kRunTimedOut = -1;
const int kRunPeerGone = -2;
const int kRunOverCap = -3;

// Runs Argv[0] (searched along PATH when it holds no '/'; a file the system
// cannot execute is run by /bin/sh, as execvp does) with the argument vector
// Argv (null-terminated, at least one entry), in its own session, in WorkDir
// when given (null or empty: in the caller's directory; a folder that cannot
// be entered starts nothing, see Error below), with the
// descriptors Fds and no other descriptor of the caller, and waits up to
// Timeout milliseconds: 0 waits without limit; -1 waits at most about one
// second for an early end and then leaves a running child to end on its own
// (it is reaped in the background); any other negative limit has passed
// already: nothing is started, kRunTimedOut with "abnormal termination".
// Nothing is started either when the calling thread's request has spent its
// time budget (requestscope.h): kRunTimedOut with kBudgetReachedText. At the
// limit the child's process group is killed and reaped. While it waits, the
// child's process group is also killed and reaped when the peer of the
// calling thread's request closes its connection (requestscope.h) or when a
// file or collection capped by Fds.OutCap grows beyond the cap. A killed
// child is waited for about a second; one that has not ended by then
// (stuck in the kernel) is left to the background reaper
// (childreaper.h) and the answer is the one the kill was for.
// Returns 1 when the program ran and ended (or, with -1, runs on): ExitCode
// holds its exit code (0 when it runs on, or ended on a signal with -1).
// Returns 0 when it could not be started or ended on a signal; Error holds
// "fork error" (also when no pipe for Fds.Collect could be made, or once the
// running work has been ended, runningjobs.h), "exec error: <system text>",
// kWorkDirErrorText followed by the system's text for a WorkDir that cannot
// be entered (missing, not a folder, a loop of links, no search right),
// "abnormal termination" or "cannot terminate process". Returns kRunTimedOut when it was killed at
// the limit (Error "abnormal termination"), kRunPeerGone when its peer went (Error kPeerGoneText),
// kRunOverCap for its output (Error kOutputCapText). Error is emptied at the start; ExitCode is set
// only when 1 is returned. Any thread.
int RunProgram(char* const* Argv, const char* WorkDir, const TChildFds& Fds, int Timeout,
               int& ExitCode, String& Error);

// For tests: the signal that ends a child's process group, SIGKILL unless
// changed. 0 stands for a child that outlives its kill (stuck in the kernel
// in uninterruptible sleep). Any thread.
void SetJobEndSignal(int sig);
