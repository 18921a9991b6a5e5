// Recognising tev's own process tool among the programs the settings name.
// When proccntscript or cpuusagescript names our tevproc under its proccnt
// or cpuusage name, the agent can make the very text the tool would print,
// with the same library code (platform/proctools), without starting a
// process for it.
//
// tevproc's file carries a mark: the text OwnToolMark() returns, which no
// other file of ours holds (the agent keeps it in a coded form). A file is
// the tool when it holds the mark; the tool's contract is versioned inside
// the mark, so a tool from a release that answers differently is not taken
// for ours and is simply started.
#pragma once

#include <string>

// The mark as tevproc carries it. Any thread.
std::string OwnToolMark();

// True when Path names a regular file that holds OwnToolMark() (a file of
// at most 64 MiB, read through symbolic links) and the caller may execute
// it, so that starting it would run our tool. The verdict is kept for the
// file's identity (device, inode, size, change and modification times) and
// looked at again whenever any of them changes: after the first call, one
// stat and one access check. Any thread.
bool IsOwnProcTool(const char* Path);
