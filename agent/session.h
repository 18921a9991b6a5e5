// One client session: collects one request packet, has it authenticated and
// decrypted, dispatches it, sends the encrypted reply and closes the
// connection (or, after an accepted "UpgradeCode", receives the new program).
#pragma once

#include "agent/threadparams.h"
#include "platform/clock.h"

// Runs one session on the calling thread for the connection in params (an
// accepted descriptor, admitted by SessionLimits for params.address): counts
// it in AgentStatus, serves it, closes the descriptor and releases the
// session from SessionLimits. Any thread.
void RunSession(const ThreadParams& params);

// RunSession in steps, so that a connection whose request has not come yet
// holds no thread while it waits. BeginSession counts a newly accepted
// connection (admitted by SessionLimits) in AgentStatus. ContinueSession
// serves it: with mayWait false, or once any byte (or the end) of the
// request has come, to the end, closing and releasing it as RunSession does
// (returns true); with mayWait true and nothing come yet, it returns false
// at once and the connection stays open and counted, for the caller to call
// ContinueSession again when it is readable, or EndSilentSession when
// SilentExpiryMs has passed. Any thread.
void BeginSession(const ThreadParams& params);
bool ContinueSession(const ThreadParams& params, bool mayWait);
// The moment (NowMs) a connection that has sent nothing is given up: the
// request deadline or the idle limit, whichever comes first.
long long SilentExpiryMs(const ThreadParams& params);
// Ends a counted connection that sent nothing in time, as a session that
// ends so: closed, released, "Session closed, wait for next .." shown.
void EndSilentSession(const ThreadParams& params);

// RunSession as a thread entry: takes ownership of the ThreadParams block
// (allocated with new) and frees it. Returns null.
void* ClientExecute(void* params);

// Ends the process at once with code, without running the destructors of
// global objects that running sessions may still be using.
[[noreturn]] void ExitNow(int code);
