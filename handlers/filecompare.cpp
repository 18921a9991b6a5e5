#include "handlers/filecompare.h"

// Placeholder until the handlers land.
void ProcessTest_FileCompare(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
