// File and folder tests: free space, folder size, file presence, CRC, file counts.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessTest_UNC(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_FolderSize(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_FileExists(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_FileCRC(const QVRequest& Req, TEVReply& Reply);
void ProcessTest_CountFiles(const QVRequest& Req, TEVReply& Reply);
