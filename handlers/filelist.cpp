#include "handlers/filelist.h"

#include <cstring>

#include "config/settings.h"
#include "handlers/filetests.h"
#include "handlers/replies.h"
#include "platform/filepath.h"
#include "protocol/valueforms.h"

namespace {

bool AnyFileRight(const TTEVSettings& s) {
    return s.foldersize || s.countfiles || s.fileexists || s.filecrc || s.comparefiles || s.textlog;
}

String NormaliseFolder(String Folder) {
    if (Folder.Length() == 0) return "/";
    if (Folder[Folder.Length()] != '/' && !DirectoryExists(Folder))
        Folder = ExtractFilePath(Folder);
    return IncludeTrailingPathDelimiter(Folder);
}

// Lists the entries of Folder that match Mask and pass Filter; directories
// when WantDirs, other entries otherwise. Returns the number listed.
int ListEntries(TEVReply& List, const String& Folder, const String& Mask, int Filter, bool WantDirs,
                bool AddSize, bool AddCTime, bool AddMTime) {
    int count = 0;
    TSearchRec rec;
    for (int r = FindFirst(Folder, Mask, Filter, rec); r == 0; r = FindNext(rec)) {
        const bool isDir = (rec.Attr & faDirectory) != 0;
        if (isDir != WantDirs || strcmp(rec.Name, ".") == 0) continue;
        AddFileStr(List, Folder, rec, AddSize, AddCTime, AddMTime);
        count++;
    }
    FindClose(rec);
    return count;
}

}  // namespace

void AddFileStr(TEVReply& List, const String& Folder, TSearchRec Entry, bool AddSize, bool AddCTime,
                bool AddMTime) {
    List.AddStringParam(Entry.Name, 0);
    List.AddIntParam(Entry.Attr);
    if (AddSize) List.AddIntParam(Entry.Size);
    if (AddCTime) {
        long long size = 0;
        long ctime = 0, mtime = 0;
        if (!GetFileInfo(Folder + Entry.Name, size, ctime, mtime)) ctime = 0;
        List.AddTimeParam(ctime);
    }
    if (AddMTime) List.AddTimeParam(long(Entry.Time));
}

void ProcessInfo_GetFileList(const QVRequest& Req, TEVReply& Reply) {
    if (!AnyFileRight(*Settings())) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    const String folder = NormaliseFolder(Req.GetParam(1, 1));
    String mask = Req.GetParam(2, 1);
    if (mask.Length() == 0) mask = "*";
    const bool wantDirs = tevDecodeBool(Req.GetParam(3, 1));
    const bool wantFiles = tevDecodeBool(Req.GetParam(4, 1));
    const bool hidden = tevDecodeBool(Req.GetParam(5, 1));
    const bool special = tevDecodeBool(Req.GetParam(6, 1));
    const bool addSize = tevDecodeBool(Req.GetParam(7, 1));
    const bool addCTime = tevDecodeBool(Req.GetParam(8, 1));
    const bool addMTime = tevDecodeBool(Req.GetParam(9, 1));
    const int filter = faAnyFile - (hidden ? 0 : faHidden) - (special ? 0 : faSysFile);
    TEVReply list;
    int count = 0;
    if (wantDirs)
        count += ListEntries(list, folder, "*", filter, true, addSize, addCTime, addMTime);
    if (wantFiles)
        count += ListEntries(list, folder, mask, filter, false, addSize, addCTime, addMTime);
    Reply.SetResult("200");
    Reply.AddStringParam(folder, 0);
    Reply.AddIntParam(count);
    Reply.AddIntParam(2 + int(addSize) + int(addCTime) + int(addMTime));
    Reply += list;
}
