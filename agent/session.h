// One client session: collects one request packet, has it authenticated and
// decrypted, dispatches it, sends the encrypted reply and closes the
// connection (or, after an accepted "UpgradeCode", receives the new program).
#pragma once

#include "agent/threadparams.h"

// Runs one session on the calling thread. Takes ownership of the
// ThreadParams block (allocated with new) and frees it. Returns null.
void* ClientExecute(void* params);

// Serves params on a session thread of its own: an idle one when there is
// one, otherwise a new detached thread. Returns 0 on success, or the error
// number when no thread could be started (params is then still the caller's).
int StartSession(ThreadParams* params);

// Ends the process at once with code, without running the destructors of
// global objects that running sessions may still be using.
[[noreturn]] void ExitNow(int code);
