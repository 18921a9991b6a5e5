// File comparison and content search.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_FileCompare(const QVRequest& Req, TEVReply& Reply);
