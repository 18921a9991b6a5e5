// One client session: collects one request packet, has it authenticated and
// decrypted, dispatches it, sends the encrypted reply and closes the
// connection (or, after an accepted "UpgradeCode", receives the new program).
#pragma once

#include "agent/threadparams.h"

// Runs one session on the calling thread for the connection in params (an
// accepted descriptor, admitted by SessionLimits for params.address): counts
// it in AgentStatus, serves it, closes the descriptor and releases the
// session from SessionLimits. Any thread.
void RunSession(const ThreadParams& params);

// RunSession as a thread entry: takes ownership of the ThreadParams block
// (allocated with new) and frees it. Returns null.
void* ClientExecute(void* params);

// Ends the process at once with code, without running the destructors of
// global objects that running sessions may still be using.
[[noreturn]] void ExitNow(int code);
