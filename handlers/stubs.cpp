#include "handlers/stubs.h"

namespace {

void NotApplicable(TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "Not applicable for UNIX/Linux";
}

void NotImplemented(TEVReply& Reply) {
    Reply.SetResult("500");
    Reply += "not implemented yet";
}

}  // namespace

void ProcessTest_DiskSpace(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessTest_Service(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessTest_NTLog(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessTest_Perf(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessInfo_ServicesList(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessInfo_EventLogFiles(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessInfo_EventLogSources(const QVRequest&, TEVReply& Reply) {
    NotApplicable(Reply);
}
void ProcessTest_Ping(const QVRequest&, TEVReply& Reply) {
    NotImplemented(Reply);
}
void ProcessTest_Script(const QVRequest&, TEVReply& Reply) {
    NotImplemented(Reply);
}
void ProcessTest_SNMP(const QVRequest&, TEVReply& Reply) {
    NotImplemented(Reply);
}
void ProcessInfo_GetDriveList(const QVRequest&, TEVReply& Reply) {
    NotImplemented(Reply);
}
