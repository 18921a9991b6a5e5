// Request dispatch: splits the decrypted request into command and parameter
// block, finds the command in the command table (agent/commands.h), checks
// the management and update rights the table names, and runs the handler,
// which leaves its answer in the reply. A session and `tev --test` both come
// through here.
#pragma once

#include "agent/commands.h"
#include "agent/connection.h"
#include "agent/runstate.h"
#include "agent/upgrade.h"
#include "protocol/qvrequest.h"
#include "protocol/tevreply.h"

// A decrypted request split at its first line end.
struct TRequestLine {
    bool terminated = false;  // the request holds a CR at all
    String command;           // the first line, trimmed
    QVRequest parameters;     // the lines after it
    // The command's entry in the table; nullptr when there is none (also
    // for an empty or unterminated request).
    const TCommandDef* def = nullptr;
};

// Splits Req into line (fresh, as default-constructed) and looks its
// command up. Filled in place: a parameter block carries a cipher state too
// large to copy per request. Pure; any thread.
void SplitRequest(const QVRequest& Req, TRequestLine& line);

// Answers line in Reply for the peer of conn. Returns 1 when the command was
// recognised (whatever its handler answered); 0 for a request without CR
// ("502"), an empty command ("500" "Void request received"), an ordinary
// request on a reserve place ("600") or an unknown command ("500" "Unknown
// command \"...\""). "QUIT" and "ReloadApp" set after to rrTerminate or
// rrReload instead of raising the flag; the caller raises it
// (RaiseRunRequest) once the reply is sent. sessionKey is the request's, for
// "UpgradeCode". Session threads, any number at once.
int DispatchRequest(const TRequestLine& line, const String& sessionKey, TEVReply& Reply,
                    const TConnection& conn, UpgradeRec& Upgrade, TRunRequest& after);

// SplitRequest and DispatchRequest in one, for callers that need not know
// the command before it runs.
int ProcessQVRequest(const QVRequest& Req, TEVReply& Reply, const TConnection& conn,
                     UpgradeRec& Upgrade, TRunRequest& after);
