// Tests that run programs and scripts: process count, CPU usage, process list, external programs,
// shell scripts.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_Process(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_CPU(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_ProcessesList(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_External(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_ShellScript(const QVRequest& Req, TEVReply& Reply);
