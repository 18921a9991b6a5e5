// The agent's privilege: the one capability it keeps as an ordinary user,
// the change from root to that user, and the capability's way through the
// agent's own re-execution.
//
// Run as a user other than root, the agent reads what it monitors through
// CAP_DAC_READ_SEARCH (read any file, search any folder) and holds nothing
// else. Its inheritable and ambient sets stay empty, so a program it starts
// (a test, a script, an action) gets no capability in any set: the kernel
// gives a non-root exec only what is inheritable, ambient or written on the
// file. Only just before the agent replaces itself with its own program (a
// restart, or the update script that starts the new program) is the
// capability made inheritable and ambient, so that it survives that exec;
// the new image empties both sets again at its start.
//
// Capabilities are a property of each thread: the functions below act on
// the calling thread only, and threads started afterwards take its sets.
// All use the kernel's calls directly (capget, capset, prctl), no library.
#pragma once

#include <sys/types.h>

#include "core/zostring.h"

// The capability's number (CAP_DAC_READ_SEARCH).
const int kReadAllCapability = 2;

// A capability set of the kernel's 64-bit form, bit n for capability n.
struct TCapSets {
    unsigned long long Effective = 0;
    unsigned long long Permitted = 0;
    unsigned long long Inheritable = 0;
};

// The calling thread's sets. False (sets zero) when the kernel refuses.
// Any thread; async-signal-safe.
bool GetCapSets(TCapSets& Sets);

// True when the calling thread runs as root (real or effective user 0).
// Any thread; async-signal-safe.
bool RunsAsRoot();

// True when CAP_DAC_READ_SEARCH is in the calling thread's permitted set.
// Any thread; async-signal-safe.
bool HasReadAllCapability();

// Start of every process image, before any other thread. As root: nothing
// (root keeps its rights). Otherwise: CAP_DAC_READ_SEARCH stays effective
// and permitted when it is permitted now, every other capability is dropped
// from both, and the inheritable and ambient sets are emptied. Returns 1
// when the capability is held afterwards, else 0.
int KeepOnlyReadAll();

// execve(Path, Argv, Envp) for the agent's own re-execution: when the
// calling thread runs as an ordinary user and holds CAP_DAC_READ_SEARCH, it
// is first made inheritable and ambient (only it), so the new image starts
// with it. Returns only on failure: -1 with errno of the exec, the
// inheritable and ambient sets empty again. Any thread; async-signal-safe
// (raw system calls only), so the crash handler may use it.
int ExecKeepingReadAll(const char* Path, char* const* Argv, char* const* Envp);

// A user account as the change of user needs it.
struct TUserIds {
    uid_t Uid = 0;
    gid_t Gid = 0;
    gid_t Groups[64];  // supplementary groups, the primary group among them
    int GroupCount = 0;
};

// Looks Name up in Passwd (an /etc/passwd file) and its groups in Group
// (an /etc/group file); Name may also be a decimal user id. The files are
// read directly, which also works in a statically linked program and needs
// no name service. Returns 1 with Ids filled, or 0 with Error "unknown
// user" or the reason a file could not be read. Any thread.
int LookUpUser(const char* Name, TUserIds& Ids, String& Error, const char* Passwd = "/etc/passwd",
               const char* Group = "/etc/group");

// From root to the user Ids with only CAP_DAC_READ_SEARCH: every other
// capability leaves the bounding set (so nothing the agent starts can gain
// it back from a set-user-id or file-capability program); the groups, the
// group and the user are set (real, effective and saved); the capability is
// kept through the change and then made the only effective and permitted
// one; inheritable and ambient are empty. Returns 1, or 0 with Error naming
// the step that failed (the process must then end: it may be part-way).
// Main thread, before any other thread is started; runs as root.
int BecomeUser(const TUserIds& Ids, String& Error);

// The lowest port an ordinary user may listen on
// (/proc/sys/net/ipv4/ip_unprivileged_port_start, 1024 when absent). Any
// thread.
int UnprivilegedPortStart();
