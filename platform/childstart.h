// The start of a child process: creation, set-up and exec in one step.
//
// The child shares the caller's memory and runs on a stack lent from the
// caller's own frame until it execs (the caller is suspended meanwhile), so
// a start maps, touches and unmaps no memory of its own and copies no page
// table. Between its creation and exec the child makes nothing but system
// calls, issued directly rather than through the library, on a plan the
// caller prepared: no allocation, no lock, no library state, no call the
// dynamic loader could still have to bind (the programs are linked with
// immediate binding, -z now, as well). Signals are blocked in the caller across the creation, so no
// handler of the agent ever runs in the child.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

// Most descriptors the child gets in place: its standard streams and 3.
const int kPlannedFds = 4;

// What the child does before exec, in this order: every signal whose bit
// (1 << (signal - 1)) is set in ResetSignals goes back to its default
// action; a new session; into DirFd when >= 0; each descriptor 0 to 3 is
// made a copy of Source[n] (each of them numbered kPlannedFds or above),
// or, when Source[n] is -1, "/dev/null" opened with OpenMode[n] (0 to 2)
// or left closed (3); every descriptor from 3 up (from 4 when Source[3] is
// given) is closed; the signal mask is emptied. Then Paths are executed in
// turn with Argv and Envp until one starts, as execvp searches PATH: a
// file that is missing or not accessible is passed over, any other failure
// ends the search.
struct TStartPlan {
    const char* const* Paths = nullptr;  // null-terminated, at least one
    char* const* Argv = nullptr;
    char* const* Envp = nullptr;
    int DirFd = -1;
    int Source[kPlannedFds] = {-1, -1, -1, -1};
    int OpenMode[kPlannedFds] = {O_RDONLY, O_WRONLY, O_WRONLY, O_WRONLY};
    unsigned long long ResetSignals = 0;
};

// The signals whose action is not the default in this process (caught or
// ignored), as TStartPlan::ResetSignals; every signal that can be changed
// when the process's status cannot be read. Any thread.
unsigned long long NonDefaultSignals();

// Starts a child by Plan. Returns 0 with Pid set and PidFd its pid
// descriptor (close-on-exec; -1 where the system gives none at creation);
// EAGAIN when no process could be created; otherwise the error number of
// the failed set-up or exec, the child then already reaped. *FailedPath,
// when given, is set to the index in Plan.Paths of the file whose exec
// ended the search with that error (-1: none did, the set-up failed or every
// file was passed over). Any thread; uses about kChildStackBytes of the
// caller's stack.
int StartPlannedChild(const TStartPlan& Plan, pid_t& Pid, int& PidFd, int* FailedPath = nullptr);

// Stack the child borrows from the caller's frame.
const int kChildStackBytes = 16 * 1024;
