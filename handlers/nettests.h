// Network tests: a TCP or UDP exchange with a third host.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_TCP(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_UDP(const QVRequest& Req, TEVReply& Reply);
