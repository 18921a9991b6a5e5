// Actions on the server's behalf: run a command, send a syslog message, send a TCP or UDP packet.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

void ProcessAct_ExternalCmd(const QVRequest& Req, TEVReply& Reply);
void ProcessAct_Syslog(const QVRequest& Req, TEVReply& Reply);
void ProcessAct_TCPSend(const QVRequest& Req, TEVReply& Reply);
