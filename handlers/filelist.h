// "GetFilesList": the entries of one folder, optionally with sizes and
// times, for the server's file browser.
#pragma once

#include "core/zostring.h"
#include "platform/filesearch.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// Appends the lines of one entry to List: name, attribute bits, then when
// asked the size, the status-change time (GetFileInfo of Folder + name; the
// epoch when that fails) and the modification time (the entry's Time).
void AddFileStr(TEVReply& List, const String& Folder, TSearchRec Entry, bool AddSize, bool AddCTime,
                bool AddMTime);

// The handler. Runs when any of the rights "foldersize", "countfiles",
// "fileexists", "filecrc", "comparefiles" or "textlog" is on ("600" "test
// is not allowed" otherwise). Always "200": the folder listed (normalised:
// empty is "/", a non-folder without a final "/" is cut to its directory
// part, a final "/" ensured), the entry count, the values per entry, then
// folders (".." included, "." not) and files matching the mask. A folder
// that cannot be read lists nothing.
void ProcessInfo_GetFileList(const QVRequest& Req, TEVReply& Reply);
