// Drives a session (agent/session.h) on the calling thread: receives its
// bytes, waits until its expiry, runs its request, sends its reply and
// closes its connection, then releases what admission counted for it
// (agent/admission.h). Before every wait, and before a request whose
// handler the command table does not call quick, the thread gives up its
// duty to take work (MayBlock, agent/threads.h).
#pragma once

#include "agent/connection.h"
#include "agent/pendingset.h"

// Serves conn on this thread from its request on; with deferTo not null,
// makes it pending there instead while its request has not come. A
// connection that is silent when first taken (fresh) and whose handshake
// was repeated reached accept because the kernel's deferral of
// kDeferAcceptSeconds ran out: its idle limit and deadline count from the
// start of that deferral; any other counts from its accept. Ends and
// releases the connection when the session is over. Any pool thread.
void ServeConnection(TConnection conn, TPendingSet* deferTo, bool fresh);

// Ends and releases the connections of pending whose expiry has passed.
// Any pool thread.
void ExpirePending(TPendingSet& pending);

// How long the kernel holds a new connection back from accept until its
// first bytes come (TCP_DEFER_ACCEPT): the thread that takes it is then
// woken once, with the request there, instead of once for the connection
// and again for its request. A connection still silent then is accepted all
// the same.
const int kDeferAcceptSeconds = 1;
