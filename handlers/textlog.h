// Text log tests: search of a growing log for an expression, with the watch state held by the
// server.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_TextLog(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_TextLog2(const QVRequest& Req, TEVReply& Reply);
