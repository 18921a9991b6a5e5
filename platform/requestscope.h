// The request the calling thread serves: the connection of the peer that
// waits for the answer, and the time budget the answer must come within.
// The session sets it around the request's handler; the waits of the
// platform layer (for a child, for a socket, a pause) read it, so that no
// work outlives the request it is for: such a wait ends as soon as the peer
// has closed its connection, and socket waits and pauses end with the
// budget. Thread-local: each session thread sees only its own request.
//
// Deadlines here are CLOCK_MONOTONIC milliseconds.
#pragma once

#include <climits>

// Every request may take at least this long, or the `timeout` setting when
// that is longer.
const int kMinRequestBudgetMs = 600000;
// RequestMsLeft on a thread that serves no request.
const int kNoRequestBudget = INT_MAX;

// Reply texts (after "301") of work cut short.
extern const char kBudgetReachedText[];  // "Request time budget reached"
extern const char kPeerGoneText[];       // "Request abandoned: the peer closed the connection"

// The budget of a request under the `timeout` setting timeoutMs: the larger
// of the two. Pure.
int RequestBudgetMs(int timeoutMs);

// Makes peerFd (a connected socket, or -1) and a budget of budgetMs from now
// the calling thread's request until the scope ends. Not nested.
class TRequestScope {
  public:
    TRequestScope(int peerFd, int budgetMs);
    ~TRequestScope();
    TRequestScope(const TRequestScope&) = delete;
    TRequestScope& operator=(const TRequestScope&) = delete;
};

// Milliseconds left of the calling thread's budget (0 once spent);
// kNoRequestBudget when the thread serves no request.
int RequestMsLeft();
// True once the budget of the calling thread's request is spent.
bool RequestBudgetSpent();
// The descriptor of the calling thread's peer, or -1. Watch it for
// POLLRDHUP only (with poll): bytes the peer sends after its request are
// never read, and would make a wait for POLLIN return at once for ever.
int RequestPeerFd();
// True when the peer of the calling thread's request has closed its side of
// the connection (or the connection failed). Does not wait.
bool RequestPeerGone();
// The time limit limitMs a request asked for, with 0 ("no limit") turned
// into what is left of the budget; any other value is kept (a longer limit
// the request sets itself holds). 0 on a thread that serves no request.
int LimitOrBudgetMs(int limitMs);

// Pauses ms milliseconds, less when the budget ends or the peer closes
// first. Returns 1 after the whole pause, 0 when the budget ran out first,
// -1 when the peer closed first.
int PauseForRequest(long long ms);
