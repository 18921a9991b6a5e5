// Actions on the server's behalf: run a command, send a syslog message, send
// a TCP or UDP packet.
//
// Each checks its right first ("executeaction", "syslogaction",
// "tcpudpaction"; off: "600" "operation is not allowed"), then its
// parameters ("501" "Wrong parameter" for a number that fails the checked
// decoding, a port outside 0..65535, or a required text that is empty), then
// does the work once and replies once; a failure of the lower layer answers
// "301" and its error text. Nothing is logged. Any session thread.
#pragma once

#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// "ACT-ExternalCmd": 1 command line, 2 working directory (empty: the
// agent's), 3 a number that must decode (unused), 4 time limit in ms for
// SystemEx (0: the request's budget, -1: do not wait). An empty command
// line: "501" "Command line to execute is not specified". A working
// directory that cannot be entered (missing, not a folder, a loop of links,
// no search right): "301" "cannot enter working folder: <system text>",
// nothing run. Ran: "200" and the exit code. Killed at the budget: "301" "Request time budget
// reached"; when the peer closes first: "301" "Request abandoned: the peer closed the connection".
void ProcessAct_ExternalCmd(const QVRequest& Req, TEVReply& Reply);

// "ACT-Syslog": 1 syslog host, 2 port, 3 facility, 4 severity (0 to 7),
// 5 message (multi-line form). Sent with the tag "Zo TEV": "200" and
// "Syslog: Data to <host> has been sent".
void ProcessAct_Syslog(const QVRequest& Req, TEVReply& Reply);

// "ACT-TCPUDPsend": 1 host, 2 port, 3 protocol ("0": TCP, anything else:
// UDP), 4 first block (must not be empty), 5 delay in seconds, 6 second block
// (may be empty). Sends the first block, and when there is a second one,
// waits the delay and sends it (its outcome is not checked). Nothing is read
// back. The connect and each send may take at most 30 seconds, so a peer
// that never answers or never reads cannot hold the session longer. A delay
// longer than the request's budget has left answers "301" "Request time
// budget reached" at once, nothing sent; a request whose peer closes during
// the delay ends there ("301" "Request abandoned: the peer closed the
// connection", the second block not sent). "200" and "Data has been sent".
void ProcessAct_TCPSend(const QVRequest& Req, TEVReply& Reply);
