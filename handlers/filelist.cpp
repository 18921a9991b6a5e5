#include "handlers/filelist.h"

// Placeholder until the handlers land.
void ProcessInfo_GetFileList(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
