// One client session: collects one request packet, has it authenticated and
// decrypted, dispatches it, sends the encrypted reply and closes the
// connection (or, after an accepted "UpgradeCode", receives the new program).
#pragma once

#include "agent/threadparams.h"

// Thread entry. Takes ownership of the ThreadParams block (allocated with
// new) and frees it. Returns null.
void* ClientExecute(void* params);

// Starts a detached session thread for params. Returns 0 on success, or the
// error number when the thread could not be started (params is then still
// the caller's).
int StartSession(ThreadParams* params);
