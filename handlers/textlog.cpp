#include "handlers/textlog.h"

// Placeholder until the handlers land.
void ProcessTest_TextLog(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessTest_TextLog2(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
