// The process table read from the proc file system: how many processes bear
// a name, and one line per process. Both read the tree under a given root
// ("/proc", or a copy of its layout in tests), skip processes that end while
// they are read, allocate nothing per process beyond the text they return,
// and may be called from any thread.
#pragma once

#include <string>
#include <string_view>

// Counts the processes called Name. A process is called Name when the first
// line of its kept name (<root>/PID/comm, at most 15 bytes, as
// "pgrep -c -x NAME" compares) equals Name; for a Name longer than 15 bytes,
// when its kept name equals Name's first 15 bytes and the base name of its
// program (its command line up to the first NUL or line feed, after the
// last '/') equals Name. Name is compared byte for byte, never as a
// pattern. So a zombie or kernel thread (no command line) counts for a
// short Name only. The process SkipPid (the caller itself; -1: none) never
// counts. Allocates nothing but the directory stream.
// Returns true and sets Count; false when ProcRoot cannot be opened, with
// Count untouched.
bool CountProcessesNamed(const char* ProcRoot, std::string_view Name, long SkipPid, long& Count);

// What the process list needs besides the tree.
struct TProcListEnv {
    const char* ProcRoot = "/proc";
    const char* PasswdFile = "/etc/passwd";  // user names; numbers when unreadable
    long ClockTicks = 100;                   // sysconf(_SC_CLK_TCK)
    long PageKb = 4;                         // page size in KiB
};

// Appends to Out one line per process, in the order of their ids as text
// ("1", "10", "100", "11", ...), each id once:
//   PID USER CPU RSS COMMAND\n
// USER is the first name /etc/passwd gives the real user id, else the
// number; CPU is the share of one processor over the process's lifetime in
// percent, truncated to one decimal (user + system ticks * 1000 / ticks
// since its start; 0.0 when it started this tick); RSS the resident memory
// in KiB; COMMAND the command line with every NUL, tab, line feed and
// carriage return as a blank and one trailing blank dropped, or
// "[name]" when it is empty (kernel threads, zombies), with tabs, line feeds
// and carriage returns of the name as blanks too.
// Returns true; false when ProcRoot or <root>/uptime cannot be read, with
// Out untouched.
bool ListProcesses(const TProcListEnv& Env, std::string& Out);
