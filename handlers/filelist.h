// The file list of a folder.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessInfo_GetFileList(const QVRequest& Req, TEVReply& Reply);
