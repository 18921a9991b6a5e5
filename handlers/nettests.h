// Network tests: a TCP or UDP exchange with a third host, timed.
//
// Both check their right first ("tcp", "udp"; off: "600" "test is not
// allowed"), then their parameters (a number that fails the checked decoding
// or a port outside 0..65535: "501" "Wrong parameter"). The answer is
// received into an 8192-byte buffer; the greatest answer length is capped to
// it, and below 1 no answer is awaited.
// Replies: "200", the duration of the (last) exchange in milliseconds, the
// answer in the multi-line form (empty when none was asked for); or "301",
// the socket library's error text and its result code.
// Every wait ends with the request's time budget or when the request's
// peer closes its connection (requestscope.h): the reply is then "301" with
// "Request time budget reached" or "Request abandoned: the peer closed the
// connection", and the last exchange's result.
// Any session thread; they share nothing but the read-only settings.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// "TEST-TCP": 1 host, 2 port, 3 time limit in ms (0 or less: 120000), 4 data
// (may be empty), 5 greatest answer length. One exchange; the limit bounds
// the connect, the send and the wait for the answer each.
void ProcessTest_TCP(const QVRequest& Req, TEVReply& Reply);

// "TEST-UDP": 1 host, 2 port, 3 time limit in ms (cut to whole seconds, at
// least 1), 4 attempts (0: "501"; negative: no attempt, "301" with an empty
// text and 0), 5 data (empty: "501"), 6 greatest answer length. Attempts
// follow one another until one succeeds.
void ProcessTest_UDP(const QVRequest& Req, TEVReply& Reply);
