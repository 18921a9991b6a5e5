#include "handlers/scripttests.h"

// Placeholder until the handlers land.
void ProcessTest_Process(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessTest_CPU(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessInfo_ProcessesList(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessTest_External(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
void ProcessTest_ShellScript(const QVRequest&, TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}
