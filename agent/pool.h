// The listening socket as the serving threads see it, and their turns. A
// ready thread (agent/threads.h) accepts itself, so a connection reaches the
// thread that serves it with at most one wake-up and no hand-over through
// the main thread, and a busy agent works through its queue of connections
// without any. A connection whose request has not come when it is taken is
// made pending (agent/pendingset.h): it holds no thread, and whichever
// ready thread finds it readable serves it (agent/sessiondriver.h), or gives
// it up at its expiry. What is accepted passes the door first
// (agent/admission.h). The main thread keeps the listening socket (it opens,
// publishes, withdraws and closes it) and the run-state checks.
#pragma once

// Makes fd, listening on port, the socket the threads accept from (made
// non-blocking here; a connection reaches accept when its first bytes come,
// or after a second) and makes the ready threads wait on it. When it cannot
// be watched, reports "Accept fatal error: %s\n\n" as AcceptFailedFatally
// says. Main thread.
void PublishListener(int fd, int port);

// Takes the published socket away from the threads: stops watching it,
// shuts it down, and returns once no thread uses it any more, so the
// caller can close it and reuse its port. Nothing when none is published. Main thread.
void WithdrawListener();

// Makes a thread ready when none is (after failed thread starts). Main
// thread, at each check; reports a failure once per run of failures.
void KeepThreadReady();

// Before the process exits: the threads that have ended are joined, and
// those that end from now on detach themselves. Main thread.
void SettleThreadsForExit();

// True once a thread has met an accept failure that is not transient; it has
// reported "Accept fatal error: %s\n\n" and woken the main loop, which ends
// the agent. Any thread.
bool AcceptFailedFatally();
