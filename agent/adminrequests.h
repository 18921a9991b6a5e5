// Handlers of the requests that act on the agent itself rather than on the
// host: configuration reload, restart, quit and the start of an upgrade.
// The dispatcher has checked the right (management or update) before any of
// them runs. Session threads, any number at once.
#pragma once

#include "agent/commandcontext.h"

// "ReloadCfg": reloads the configuration file; "200" "Ok", or "300" and the
// loader's error text (the settings in force then stay). Reports the file's
// ignored lines (agent/cfgwarnings.h) either way.
void ProcessAdmin_ReloadCfg(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context);
// "QUIT": "200" "Ok"; Context.after = rrTerminate.
void ProcessAdmin_Quit(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context);
// "ReloadApp": "200" "Ok"; Context.after = rrReload.
void ProcessAdmin_ReloadApp(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context);
// "UpgradeCode": first checks that the program file (tevpath) can be
// replaced (CanReplaceProgram); when not, "600" "Operation is not allowed"
// and a second line "Cannot replace the program file: <reason>" (in the
// multi-line form), and a failure message "Upgrade refused: <reason>".
// Then takes the upgrade slot for Context.sessionKey ("302" when
// another session holds it), reads the announced size from parameter 1
// ("501" "Wrong file parameter(s)" outside 101 to 10485759, the slot is
// released), then starts the transfer: "200", or "300" and the error text.
void ProcessAdmin_UpgradeCode(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context);
