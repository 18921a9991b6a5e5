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
// (the new values stay in force either way). Refuses with "300" and a text
// naming the setting, changing nothing, a Port outside 1..65535 ("Port must
// be from 1 to 65535"), a Timeout below 1 ("Timeout must be 1 or more") and
// an empty Password ("Password must not be empty"). A CR in a text value is
// stored as a blank.
void SetAgentSettings(const QVRequest& Req, TEVReply& Reply);
