// Agent information and remote settings: "GetInfo", "GetSettings",
// "SetSettings". Run in session threads, several at once.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// "200" and the identity, counters, tests and actions with their enable
// characters, port, time limit, comment and (when uname works) host lines.
void GetAgentStatus(const QVRequest& Req, TEVReply& Reply);
// The GetInfo lines, then the logging, password, filter and administration lines.
void GetAgentSettings(const QVRequest& Req, TEVReply& Reply);
// Applies every "name=value" parameter line whose name is known, saves the
// configuration file and answers "200", or "300" and the save's error text
// (the new values stay in force either way).
void SetAgentSettings(const QVRequest& Req, TEVReply& Reply);
