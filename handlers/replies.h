// The replies that many handlers give in the same words.
#pragma once

#include "core/zostring.h"
#include "protocol/tevreply.h"

// Result Code and one message line.
void ReplyMessage(TEVReply& Reply, const char* Code, const String& Message);
// "600" "test is not allowed": the test's right is off in the settings.
void ReplyTestNotAllowed(TEVReply& Reply);
// "501" "Wrong parameter".
void ReplyWrongParameter(TEVReply& Reply);
