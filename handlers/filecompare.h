// "TEST-FileCompare": compares two files (mode "1"), searches a file for
// the whole content of another (mode "2") or for a string (mode "3").
#pragma once

#include "core/zostring.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// Compares File1 and File2 over their common length, reading both side by
// side in kScanBlockSize blocks: 1 when that common part is equal (so a
// file that is a prefix of the other compares equal), 0 at the first
// difference, -1 when a name is empty, a file cannot be opened, a buffer
// cannot be allocated or a read fails. Any thread.
int CompareFiles(const String& File1, const String& File2);

// The handler. Right "comparefiles" ("600" "test is not allowed"). Replies
// "200" and "1"/"0"; "301" "File doesn`t exist" when a file to examine is
// not an existing regular file; "301" "The size of the second file cannot
// exceed 8Mb" (mode "2"); "301" "I/O Error" when the work fails; "501"
// "Wrong parameter" for an unknown mode.
void ProcessTest_FileCompare(const QVRequest& Req, TEVReply& Reply);
