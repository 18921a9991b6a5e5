// The connections accepted before their request came, and what the ready
// threads wait on. One epoll instance watches the published listening socket
// and every pending connection, so a connection whose request has not come
// holds no thread: whichever ready thread finds it readable serves it, and
// one that stays silent is given up at its request deadline or idle limit,
// as a session waiting on a thread of its own would have been.
#pragma once

#include "agent/threadparams.h"

// What a wait for work brought.
enum TPendingEvent {
    peNothing,   // a timeout (due connections given up), a signal or a stale event
    peListener,  // the listening socket has connections to accept
    peReadable,  // a pending connection's request has come: taken into out
};

// Creates the epoll instance (close-on-exec) when there is none yet. Returns
// 0 or the error number. Main thread, before any thread waits.
int OpenPendingSet();

// Watches (or stops watching) the published listening socket. Watch returns
// 0 or the error number. Main thread.
int WatchListener(int fd);
void UnwatchListener(int fd);

// Makes a counted connection (BeginSession) pending until its first bytes
// come. False when it cannot be watched: the caller then serves it on its
// own thread. Any thread.
bool DeferConnection(const ThreadParams& params);

// True while connections are pending. Any thread, without a lock.
bool AnyPending();

// Gives up (EndSilentSession) the pending connections whose time has come.
// Any thread.
void ExpireDuePending();

// Takes a pending connection whose request has come, without waiting:
// true with it in out. Any thread.
bool TakeReadablePending(ThreadParams& out);

// Waits until the listening socket has connections, a pending connection
// becomes readable (taken into out) or the next pending connection is due
// (given up); no longer than a second while connections are pending, for
// ever otherwise. Any thread.
TPendingEvent WaitForWork(ThreadParams& out);
