// File and folder tests: free space ("TEST-UNC"), folder size
// ("TEST-FolderSize"), file presence ("TEST-FileExists"), file CRC
// ("TEST-FileCRC") and file counts ("TEST-CountFiles").
//
// Each handler checks its own right in one settings snapshot first ("600"
// "test is not allowed" when it is off), reads its parameters by position
// (trimmed), does the work and sets the reply once. Handlers run in their
// session's thread and share nothing but the settings and the file system.
#pragma once

#include "core/zostring.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// statfs of Path: Total, Free and Available (to unprivileged users) in
// bytes, each the block count times the block size taken as a signed 32-bit
// number. Returns false with errno set when statfs fails; outputs are then
// left alone.
bool GetUNCDriveInfo(const String& Path, long long& Total, long long& Free, long long& Available);

// lstat of Name (a final link is not followed; a directory passes): Size,
// CTime (status change) and MTime (seconds since the epoch). Returns false
// for an empty Name or when Name cannot be examined; outputs are then left
// alone.
bool GetFileInfo(const String& Name, long long& Size, long& CTime, long& MTime);

// "TEST-UNC" path: "200" total, free, available bytes; "501" "Path not
// specified"; "301" and the system's text for the error (encoded).
void ProcessTest_UNC(const QVRequest& Req, TEVReply& Reply);
// "TEST-FolderSize" path, recursive, ..., macros (8): "200" bytes; "301"
// "Folder/File doesn`t exist or access denied".
void ProcessTest_FolderSize(const QVRequest& Req, TEVReply& Reply);
// "TEST-FileExists" name, ..., macros (7); a name that cannot be examined is
// tried once more as a wildcard pattern. "200" size, ctime, mtime, the name
// examined, "min", age in minutes; "301" "no such file or acess denied".
void ProcessTest_FileExists(const QVRequest& Req, TEVReply& Reply);
// "TEST-FileCRC" name: "200" the CRC-32 register (0..4294967295); "301" and
// the error text of GetFileCRC.
void ProcessTest_FileCRC(const QVRequest& Req, TEVReply& Reply);
// "TEST-CountFiles" folder, mask, recursive, mode, limit, ..., macros (11):
// "200" count; "501" "Wrong parameter" (mode outside 0..5, limit not a
// number); "301" "Folder doesn`t exist or access denied".
void ProcessTest_CountFiles(const QVRequest& Req, TEVReply& Reply);
