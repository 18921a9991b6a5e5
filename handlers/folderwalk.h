// Folder sizes and file counts over directory trees: the working functions
// of "TEST-FolderSize" and "TEST-CountFiles".
//
// Both read each directory once, take the entry type from the directory
// itself and examine an entry (fstatat relative to its open folder) only
// when its size, time or type is needed. Symbolic links are never counted
// or followed below the starting folder. Trees of any depth are walked with
// a bounded number of descriptors (platform/dirwalk.h); a folder out of
// reach counts like one that cannot be read. Re-entrant: every call keeps
// its state on its own stack and heap.
#pragma once

#include "core/zostring.h"

// The condition a file must meet to be counted by CountFiles; the names, in
// order, are in CountFilesModeName.
enum TCountFilesMode {
    cfmAllFiles = 0,     // always
    cfmOlderThan = 1,    // now_min() - Limit > sec2min(mtime)
    cfmNewerThan = 2,    // sec2min(mtime) > now_min() - Limit
    cfmBiggerThan = 3,   // size > Limit bytes
    cfmSmallerThan = 4,  // size < Limit bytes
    cfmSubFolders = 5    // counts sub-folders instead of files
};
extern const char* const CountFilesModeName[6];

// t / 60, truncated toward zero.
int sec2min(int t);
// The current time in whole minutes since the epoch.
int now_min();

// Total size in bytes of the entries of Path that are not directories and
// whose names match the mask (fnmatch, no flags), special files with their
// own size, hidden ones included. When Path is not a directory its last
// component is the mask (as in /var/log/*.log) and the rest the folder
// (empty: the working directory); otherwise the mask is "*". Recursive adds
// the totals of all sub-folders with the same mask; in a sub-folder where
// the mask itself names a directory, that directory is summed whole
// instead. Unreadable sub-folders add nothing.
// The sub-folders of the starting folder are shared with one helper thread
// (each walk holds at most kMaxHeldDirs descriptors).
// Returns -1 when the starting folder cannot be read.
long long GetFolderSize(const String& Path, bool Recursive);

// Number of entries of Folder (empty: the working directory) whose names
// match Mask (fnmatch, no flags) and that meet Mode: files that meet the
// condition for modes 0 to 4 (Limit in minutes for 1 and 2, bytes for 3 and
// 4), folders other than "." and ".." for mode 5. Recursive adds the counts
// of the sub-folders that are neither hidden nor read-only for the agent;
// a folder where no directory at all ("." and ".." included) is both
// passes contributes nothing, and makes the whole result -1 when it is the
// starting folder. Without Recursive the result is 0 when nothing matches,
// and -1 when in addition no such directory exists there.
// Returns -1 as well when Folder cannot be read.
int CountFiles(const String& Folder, const String& Mask, bool Recursive, int Mode, int Limit);
