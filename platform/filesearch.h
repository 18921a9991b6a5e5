// Directory search with attribute filtering and shell wildcard masks, and the
// resolution of the age macros in paths ("%newestfile%" and friends).
// Every function is re-entrant: a search keeps all its state, including its
// own directory stream, in the TSearchRec the caller owns.
#pragma once

#include <dirent.h>

#include "core/zostring.h"

// Attribute bits of a directory entry.
enum : int {
    faReadOnly = 1,    // the process may not write the entry
    faHidden = 2,      // the name starts with '.' and is neither "." nor ".."
    faSysFile = 4,     // neither a directory nor a regular file
    faDirectory = 16,  // a directory, or a symbolic link to one
    faSymLink = 64,    // a symbolic link; never admitted by a search
    faAnyFile = 63     // every bit a search can admit
};

// One directory search in progress and the entry it found last.
// Time, Size and Mode describe the entry itself, not a link's target.
// Copies take every field and share the directory stream; only the record
// that opened the stream may close it (FindClose). The destructor never
// closes the stream.
struct TSearchRec {
    int Time = 0;              // modification time, seconds since the epoch
    long long Size = 0;        // size in bytes
    int Attr = 0;              // fa* bits of the entry
    char Name[256] = {};       // entry name, NUL-terminated, at most 255 bytes
    unsigned int Mode = 0;     // st_mode of the entry
    DIR* DirHandle = nullptr;  // the open directory, or null
    int ExcludeAttr = 0;       // complement of the bits the caller accepts
    String Path;               // directory searched, always ending in '/'
    String Pattern;            // fnmatch mask applied to entry names
};

// Starts a search of directory Path (empty: the working directory) for
// names matching Pattern (fnmatch, no flags) whose attribute bits all lie
// within Attr & faAnyFile. Symbolic links are never returned.
// Returns 0 with the first match in Rec; -1 when nothing matches (the
// directory is closed again); or the positive errno when the directory
// cannot be opened (DirHandle stays null). The stream is close-on-exec.
int FindFirst(const String& Path, const String& Pattern, int Attr, TSearchRec& Rec);

// The next match of a search begun by FindFirst: 0 with Rec filled, or -1
// when there are no more (or reading fails, or no stream is open).
int FindNext(TSearchRec& Rec);

// Closes the directory stream if one is open and nulls DirHandle. Safe to
// call repeatedly and after a failed FindFirst.
void FindClose(TSearchRec& Rec);

// Reads entries from Rec's open stream until one passes the mask and the
// attribute filter; fills Rec and returns 0, or returns -1 at the end of
// the directory or on a read error. Entries come in directory order.
int FindMatchingFile(TSearchRec& Rec);

// Replaces each of "%newestfile%", "%oldestfile%", "%newestfolder%" and
// "%oldestfolder%" (any case) in Path, left to right, by the name of the
// newest/oldest non-directory or directory in the folder formed by the text
// resolved so far (empty: the working directory). The name replaces the
// macro exactly; no separator is added. Returns Path unchanged when it
// holds no macro or when any macro has no candidate. Symbolic links are
// never candidates; hidden entries and special files are. Ties go to the
// entry met first in directory order.
String GetFileUsingSpecialMacros(const String& Path);
