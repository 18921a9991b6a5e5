#include "handlers/actions.h"

// Placeholder until the handlers land.
void ProcessAct_ExternalCmd(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessAct_Syslog(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessAct_TCPSend(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
