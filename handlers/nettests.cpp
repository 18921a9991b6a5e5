#include "handlers/nettests.h"

// Placeholder until the handlers land.
void ProcessTest_TCP(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessTest_UDP(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
