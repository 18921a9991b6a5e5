// Tests that run programs and scripts: process count, CPU usage, process list, external programs,
// shell scripts.
//
// The process count, CPU usage and process list come from the program their
// setting names (proccntscript, cpuusagescript, proclistscript), started
// without a shell with the process name as its one argument (TEST-Process)
// and killed after 60 s ("301" "Script time limit exceeded"). The setting's
// value "builtin" (config/settingsrecord.h) makes the agent answer with its
// process tool's code instead, without starting anything. Each request
// leaves a note (platform/requestnotes.h) saying which of the two answered.
//
// Every program runs for its request only: it is killed when the request's
// peer closes its connection ("301" "Request abandoned: the peer closed the
// connection"). A program without a time limit of its own ("TEST-ExternalPrg"
// limit 0, "TEST-ShellScript" limit 0) is killed at the end of the request's
// budget ("301" "Request time budget reached"); a longer limit the server
// sets holds. Output that a script leaves in the agent's files is capped at
// 16 MiB: the script is killed beyond it ("301" "Output limit of 16 MiB
// exceeded"). "TEST-ShellScript" limit (4) and line count (5) that do not
// fit 32 bits answer "501" "Wrong parameter".
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_Process(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_CPU(const QVRequest& Req, TEVReply& Reply);
void ProcessInfo_ProcessesList(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_External(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_ShellScript(const QVRequest& Req, TEVReply& Reply);
