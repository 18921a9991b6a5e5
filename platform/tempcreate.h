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
// under Name, or, when Name is null, under a name of the agent's own form,
// "tmptev-<pid>-<16 hex digits>.tmp" (pid: the creating process); while the
// name is taken, under other names of that form, a few times. The file is
// entered in the register of running work (runningjobs.h): remove it with
// RemoveTempFile. Once the running work has been ended nothing is created
// (kTempNotCreated, errno ECANCELED).
// Returns the descriptor and sets Path to the file's path; on failure returns
// kTempNoName or kTempNotCreated with Path empty and errno kept. Any thread.
int CreateTempFile(const char* Name, String& Path, const char* Dir = nullptr);

// Removes from the temporary directory Dir (null: as for CreateTempFile)
// the files an agent left behind: regular files owned by this process's
// user, named exactly in the agent's own form, created by this process (an
// image before a restart) or by a process that no longer exists. A file of
// a living process (another agent sharing the folder), any other name, a
// symbolic link, a folder or another user's file is not touched; the
// directory itself is not followed when it is a symbolic link. Returns the
// number removed, -1 when the directory cannot be opened. Main thread, at
// start-up, before any request is served.
int RemoveStaleTempFiles(const char* Dir);
