// What happens at the door, before a connection has a session: accepts that
// fail (the transient ones reported once per run of failures), the
// descriptor kept in reserve to drain the backlog at the descriptor limit,
// the address filter and the session caps. A connection that passes is
// counted and reported; one that does not is closed and counted as failed.
#pragma once

#include "agent/connection.h"

// Deals with a failed accept4 on the published listening socket fd (err is
// its errno): EINTR wakes the main loop; a transient failure is reported
// ("Accept error: %s\n", once per run of failures) and, at the descriptor
// limit while a connection waits, one waiting connection is accepted and
// closed with the reserve descriptor. Returns false for any other failure,
// which the caller reports as fatal; otherwise it accepts again. Any thread.
bool OnAcceptFailure(int fd, int err);

// Keeps one descriptor in reserve for the drain at the descriptor limit
// (nothing when one is kept already or none can be opened). Any thread.
void KeepReserveDescriptor();

// Decides on a newly accepted connection: ends a run of accept failures
// ("Accept errors ended: %d failed accepts\n"); closes the connection with
// "TCP connection rejected\n" and counts it failed when the address filter
// or a session cap refuses it (false); otherwise counts it in the session
// caps (conn.reserve set for a reserve place, which only a peer that may
// manage or update the agent gets) and the connection counters,
// reports "TCP connection accepted\n" and returns true: the caller serves it
// and releases it with ReleaseAdmission. Any thread.
bool AdmitConnection(TConnection& conn);

// Gives back what AdmitConnection counted for conn. Any thread.
void ReleaseAdmission(const TConnection& conn);
