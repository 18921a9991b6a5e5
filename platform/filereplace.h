// Crash-safe replacement of a file's content.
//
// The new bytes are written to a temporary file beside the target, flushed
// to disk and renamed over the target, and the directory entry is flushed
// after the rename: whenever the machine stops, the target holds either the
// whole old content or the whole new one, never a mix or nothing.
#pragma once

#include <sys/types.h>

#include "core/zostring.h"

// Owner, group and permission bits (07777) a new file takes over from the
// one it replaces.
struct TFileOwnership {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

// Reads the owner, group and permission bits of the open file fd into own.
// Returns false (own unchanged) when fstat fails. Any thread.
bool ReadOwnership(int fd, TFileOwnership& own);

// The file path stands for: the target of a symbolic link, resolved once
// (so every step of a replacement works on one file and the link itself
// stays in place), otherwise path itself, also when path does not exist or
// its link cannot be resolved. Any thread.
String ReplacementTarget(const String& path);

// Creates path afresh holding data: an existing entry of that name is
// removed first, a symbolic link put there in between is never followed.
// The file is created with mode 0600, then given the owner and group of own
// (where the agent may: as root, or the group alone when the agent is a
// member; otherwise it stays the agent's) and the mode of own, and flushed
// to disk. Returns true on success; on any failure removes what it created
// and returns false. Any thread.
bool WriteNewFile(const String& path, const String& data, const TFileOwnership& own);

// One replacement: target is the file replaced (a name from
// ReplacementTarget), temp the name the new content is written under first
// (in target's directory, so the rename stays within one file system).
struct TFileReplacement {
    String target;
    String temp;
    // Where the previous file is kept, empty for nowhere. It becomes a hard
    // link to the previous file, or, where the file system has none, a copy
    // of `previous` (the previous content as the caller read it).
    String backup;
    String previous;
    TFileOwnership own;  // for the new file (and a copied backup)
};

enum TReplaceResult {
    rrDone,      // target holds content
    rrNoTemp,    // temp could not be created or written; nothing changed
    rrNoRename,  // temp could not be renamed over target; target unchanged
};

// Replaces r.target by content: WriteNewFile(r.temp, content, r.own), then
// the backup (failures there are not reported: the backup is a courtesy and
// the target is untouched by them), then the rename and the flush of the
// directory. No temp file is left behind in any case. Any thread; two
// replacements of one target must not run at once (the caller serialises).
TReplaceResult ReplaceFile(const TFileReplacement& r, const String& content);
