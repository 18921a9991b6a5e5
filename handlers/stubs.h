// Handlers for requests this platform does not support. Each answers "500"
// with a fixed text.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// "500" "Not applicable for UNIX/Linux".
void ProcessTest_DiskSpace(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_Service(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_NTLog(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_Perf(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_ServicesList(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_EventLogFiles(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_EventLogSources(const QVRequest& Req, TEVReply& Reply);
// "500" "not implemented yet".
void ProcessTest_Ping(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_Script(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_SNMP(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_GetDriveList(const QVRequest& Req, TEVReply& Reply);
