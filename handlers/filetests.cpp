#include "handlers/filetests.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "handlers/filecrc.h"
#include "handlers/folderwalk.h"
#include "handlers/replies.h"
#include "platform/filesearch.h"
#include "platform/syserror.h"
#include "platform/tempfile.h"
#include "protocol/valueforms.h"

namespace {

// Parameter i (trimmed), passed through the path macros when the flag at
// position MacroAt is set.
String PathParam(const QVRequest& Req, int i, int MacroAt) {
    String path = Req.GetParam(i, 1);
    if (tevDecodeBool(Req.GetParam(MacroAt, 1))) path = GetFileUsingSpecialMacros(path);
    return path;
}

}  // namespace

bool GetUNCDriveInfo(const String& Path, long long& Total, long long& Free, long long& Available) {
    const String path = ZeroTerminated(Path);
    struct statfs fs;
    if (statfs(path.Data(), &fs) != 0) return false;
    const long long block = (long long)(int)fs.f_bsize;
    Total = (long long)fs.f_blocks * block;
    Free = (long long)fs.f_bfree * block;
    Available = (long long)fs.f_bavail * block;
    return true;
}

bool GetFileInfo(const String& Name, long long& Size, long& CTime, long& MTime) {
    if (Name.Length() == 0) return false;
    const String name = ZeroTerminated(Name);
    struct stat st;
    if (lstat(name.Data(), &st) != 0) return false;
    Size = (long long)st.st_size;
    CTime = long(st.st_ctime);
    MTime = long(st.st_mtime);
    return true;
}

void ProcessTest_UNC(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->unc) return ReplyTestNotAllowed(Reply);
    String path = Req.GetParam(1, 1);
    if (path.Length() > 0 && path[path.Length()] == '\\') path.SetLength(path.Length() - 1);
    if (path.Length() == 0) return ReplyMessage(Reply, "501", "Path not specified");
    long long total = 0, free = 0, available = 0;
    if (!GetUNCDriveInfo(path, total, free, available)) {
        const int err = errno;
        Reply.SetResult("301");
        Reply.AddStringParam(GetErrorStr(err), 1);
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(total);
    Reply.AddIntParam(free);
    Reply.AddIntParam(available);
}

void ProcessTest_FolderSize(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->foldersize) return ReplyTestNotAllowed(Reply);
    const String path = PathParam(Req, 1, 8);
    const bool recursive = tevDecodeBool(Req.GetParam(2, 1));
    const long long size = GetFolderSize(path, recursive);
    if (size < 0) return ReplyMessage(Reply, "301", "Folder/File doesn`t exist or access denied");
    Reply.SetResult("200");
    Reply.AddIntParam(size);
}

void ProcessTest_FileExists(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->fileexists) return ReplyTestNotAllowed(Reply);
    String name = PathParam(Req, 1, 7);
    long long size = 0;
    long ctime = 0, mtime = 0;
    bool found = GetFileInfo(name, size, ctime, mtime);
    if (!found) {
        name = GetFirstMatchedFile(name);
        found = name.Length() > 0 && GetFileInfo(name, size, ctime, mtime);
    }
    if (!found) return ReplyMessage(Reply, "301", "no such file or acess denied");
    Reply.SetResult("200");
    Reply.AddIntParam(size);
    Reply.AddTimeParam(ctime);
    Reply.AddTimeParam(mtime);
    Reply.AddStringParam(name, 0);
    Reply.AddStringParam("min", 0);
    Reply.AddIntParam(int((time(nullptr) - mtime) / 60));
}

void ProcessTest_FileCRC(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->filecrc) return ReplyTestNotAllowed(Reply);
    unsigned int crc = 0;
    String error;
    if (!GetFileCRC(Req.GetParam(1, 1), crc, error)) return ReplyMessage(Reply, "301", error);
    Reply.SetResult("200");
    Reply.AddIntParam((long long)crc);
}

void ProcessTest_CountFiles(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->countfiles) return ReplyTestNotAllowed(Reply);
    const String folder = PathParam(Req, 1, 11);
    const String mask = Req.GetParam(2, 1);
    const bool recursive = tevDecodeBool(Req.GetParam(3, 1));
    int mode = 0;
    int limit = 0;
    if (!tevDecodeIntInRange(Req.GetParam(4, 1), &mode) || mode < cfmAllFiles ||
        mode > cfmSubFolders || !tevDecodeInt(Req.GetParam(5, 1), &limit))
        return ReplyWrongParameter(Reply);
    const int count = CountFiles(folder, mask, recursive, mode, limit);
    if (count < 0) return ReplyMessage(Reply, "301", "Folder doesn`t exist or access denied");
    Reply.SetResult("200");
    Reply.AddIntParam(count);
}
