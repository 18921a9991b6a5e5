// What a request handler is handed: the signatures of the two kinds of
// handler, and the context that the handlers acting on the agent itself
// (management group, upgrade) get beside the request's parameters. Apart
// from the command table so that those handlers need not know the table
// that names them.
#pragma once

#include <netinet/in.h>

#include "agent/runstate.h"
#include "agent/upgrade.h"
#include "core/zostring.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// What a request carries beside its parameters, for the handlers that act
// on the agent itself.
struct TCommandContext {
    in_addr peer;
    String sessionKey;
    UpgradeRec* upgrade;
    TRunRequest after;  // out: the run-state change to raise once replied
};

typedef void (*TRequestHandler)(const QVRequest& Params, TEVReply& Reply);
typedef void (*TContextHandler)(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context);
