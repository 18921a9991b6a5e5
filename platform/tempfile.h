// Names for temporary files and the first file a wildcard path matches.
// Every function is re-entrant.
#pragma once

#include "core/zostring.h"

// (process id << 8) + pthread_self(), in 32-bit arithmetic: a number that
// differs between the threads of one agent and between agents.
int GetUniqueThreadID();

// Writes into dst (capacity len bytes) the temporary directory (dir; when
// dir is null or empty: $TMPDIR, else $TMP, else ".") followed by "/" and
// name, or, when name is null, a generated
// name "tmp-<GetUniqueThreadID>-<n>" with the smallest n in 0..1998 that is
// not an existing regular file. Returns 1 on success; 0 with dst empty when
// dst is null, len < 16, the text does not fit or every n is taken.
// The name is chosen, not created: callers create the file at once, and
// where a planted link would matter they create it with O_EXCL|O_NOFOLLOW.
int gettempfilename(char* dst, int len, const char* name, const char* dir = nullptr);

// The first non-directory entry (read-only, hidden and special entries
// included, symbolic links never) matching the wildcard path, in directory
// order, as the directory part followed by the entry's name; empty when
// nothing matches. A path without a directory part searches the working
// directory and yields a bare name.
String GetFirstMatchedFile(const String& path);
