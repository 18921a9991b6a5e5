// Exclusive creation of temporary files.
//
// A name chosen first and opened later is a name anyone can plant a file or
// a symbolic link on in a shared temporary directory. The files of the
// agent's scripts are therefore created with O_CREAT|O_EXCL|O_NOFOLLOW and
// handed on as descriptors; a taken name is never opened, another is tried.
#pragma once

#include "core/zostring.h"

// CreateTempFile's results besides a descriptor.
const int kTempNoName = -1;      // no name could be built
const int kTempNotCreated = -2;  // the file could not be created

// Creates a new empty file (read-write, mode 0600, close-on-exec) in the
// temporary directory Dir (null: the one gettempfilename chooses): first
// under Name, or under a
// generated unique name when Name is null; while the name is taken, under
// names with a random part ("tmptev-<random>.tmp"), a few times.
// Returns the descriptor and sets Path to the file's path; on failure returns
// kTempNoName or kTempNotCreated with Path empty and errno kept. Any thread.
int CreateTempFile(const char* Name, String& Path, const char* Dir = nullptr);
