// Request dispatch: splits the decrypted request into command and parameter
// block, finds the command in the command table (agent/commands.h), checks
// the management and update rights the table names, and runs the handler,
// which leaves its answer in the reply. A session and `tev --test` both come
// through here.
#pragma once

#include "agent/runflags.h"
#include "agent/threadparams.h"
#include "agent/upgrade.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// Returns 1 when the command was recognised (whatever its handler answered);
// 0 for a request without CR ("502"), an empty command ("500" "Void request
// received") or an unknown one ("500" "Unknown command \"...\""). "QUIT"
// and "ReloadApp" set after to rrTerminate or rrReload instead of raising
// the flag; the caller raises it in Flags (RaiseRunRequest) once the reply
// is sent. Session threads, any number at once.
int ProcessQVRequest(QVRequest& Req, TEVReply& Reply, TTEVFlags& Flags, ThreadParams Params,
                     UpgradeRec& Upgrade, TRunRequest& after);
