#include "handlers/filecompare.h"

#include <cstring>

#include "config/settings.h"
#include "handlers/contentsearch.h"
#include "handlers/replies.h"
#include "platform/filepath.h"
#include "platform/filesearch.h"
#include "platform/seqread.h"
#include "protocol/valueforms.h"

namespace {

// Parameter position of the macro flag of file 1, per mode.
struct TModeParams {
    const char* Mode;
    int Macro1;
};
const TModeParams kModes[] = {{"1", 12}, {"2", 9}, {"3", 11}};

const TModeParams* FindMode(const String& Mode) {
    for (const TModeParams& m : kModes)
        if (Mode == m.Mode) return &m;
    return nullptr;
}

String FileParam(const QVRequest& Req, int At, int MacroAt) {
    String name = Req.GetParam(At, 1);
    if (MacroAt > 0 && tevDecodeBool(Req.GetParam(MacroAt, 1)))
        name = GetFileUsingSpecialMacros(name);
    return name;
}

bool Flag(const QVRequest& Req, int At) {
    return tevDecodeBool(Req.GetParam(At, 1));
}

// Mode "1": 1 same, 0 different, -1 failure; -2 when file 2 is missing.
long long CompareMode(const QVRequest& Req, const String& File1) {
    const String file2 = FileParam(Req, 3, 13);
    if (!FileExists(file2)) return -2;
    bool same = true;
    if (Flag(Req, 4) && FileAge(File1) != FileAge(file2))
        same = false;
    else if (Flag(Req, 5))
        same = FileSize(File1) == FileSize(file2);
    if (same && Flag(Req, 6)) return CompareFiles(File1, file2);
    return same ? 1 : 0;
}

}  // namespace

int CompareFiles(const String& File1, const String& File2) {
    TSeqFile f1, f2;
    if (!f1.Open(File1) || !f2.Open(File2)) return -1;
    TScanBuffer b1(kScanBlockSize), b2(kScanBlockSize);
    if (!b1.Data() || !b2.Data()) return -1;
    for (;;) {
        const long long n1 = f1.ReadFull(b1.Data(), kScanBlockSize);
        const long long n2 = f2.ReadFull(b2.Data(), kScanBlockSize);
        if (n1 < 0 || n2 < 0) return -1;
        const size_t common = size_t(n1 < n2 ? n1 : n2);
        if (memcmp(b1.Data(), b2.Data(), common) != 0) return 0;
        if (size_t(n1) < kScanBlockSize || size_t(n2) < kScanBlockSize) return 1;
    }
}

void ProcessTest_FileCompare(const QVRequest& Req, TEVReply& Reply) {
    if (!Settings()->comparefiles) {
        ReplyTestNotAllowed(Reply);
        return;
    }
    Reply.SetResult("301");
    Reply += "File doesn`t exist";
    const String modeText = Req.GetParam(1, 1);
    const TModeParams* mode = FindMode(modeText);
    const String file1 = FileParam(Req, 2, mode ? mode->Macro1 : 0);
    if (!FileExists(file1)) return;
    long long result = 0;
    if (modeText == "1") {
        result = CompareMode(Req, file1);
        if (result == -2) return;
    } else if (modeText == "2") {
        const String file2 = Req.GetParam(3, 1);
        if (!FileExists(file2)) return;
        if (FileSize(file2) > kMaxSearchFileSize) {
            Reply.SetResult("301");
            Reply += "The size of the second file cannot exceed 8Mb";
            return;
        }
        result = FindFileInFile(file1, file2);
    } else if (modeText == "3") {
        result = FindStrInFile(file1, Req.GetParam(3, 1), Flag(Req, 4), Flag(Req, 5));
    } else {
        ReplyWrongParameter(Reply);
        return;
    }
    if (result < 0) {
        Reply.SetResult("301");
        Reply += "I/O Error";
        return;
    }
    Reply.SetResult("200");
    Reply.AddBoolParam(result > 0 ? 1 : 0);
}
