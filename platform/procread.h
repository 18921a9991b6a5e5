// Reading files of the proc file system (or of a tree laid out like it)
// relative to an open directory. Files there are made when they are read and
// vanish with their process, so every reader treats a failed open or read as
// "gone", never as a reason to stop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// Reads the file Name, relative to the directory descriptor Dir (AT_FDCWD:
// the working directory), into Buf (capacity Cap bytes) until Buf is full or
// a read returns less than it asked for: the proc file system hands out each
// of these small files whole in one read, so a short read is the end, and
// the call that would only confirm it is saved. Returns the byte count (Cap
// when the file may hold more), or -1 with errno set when it cannot be
// opened or read (ENOENT or ESRCH for a process that has ended). Any thread.
ssize_t ReadProcFile(int Dir, const char* Name, char* Buf, size_t Cap);

// Appends the file Name (relative to Dir) to Out, reading in pieces until
// one comes back short (the end, as for ReadProcFile), and returns the byte
// count appended, or -1 with errno set when it cannot be opened or read; on
// failure Out is as it was. Any thread.
ssize_t AppendProcFile(int Dir, const char* Name, std::string& Out);

// Appends the whole of an ordinary file (read to its end) to Out; results
// as for AppendProcFile. Any thread.
ssize_t AppendWholeFile(const char* Path, std::string& Out);

// Reads text, 1 to 19 decimal digits and nothing else (as the proc file
// system writes its counters), into out. Returns false, out untouched, for
// anything else. Any thread.
bool ParseProcNumber(std::string_view text, unsigned long long& out);

// Opens the directory Path for reading (close-on-exec). Returns the
// descriptor or -1 with errno set. Any thread.
int OpenProcDir(const char* Path);
