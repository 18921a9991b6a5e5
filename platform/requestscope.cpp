#include "platform/requestscope.h"

#include <poll.h>
#include <time.h>

#include <cerrno>

const char kBudgetReachedText[] = "Request time budget reached";
const char kPeerGoneText[] = "Request abandoned: the peer closed the connection";

namespace {

struct TScope {
    int peerFd = -1;
    long long deadlineMs = -1;  // -1: no request
};

thread_local TScope scope;

long long MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int RequestBudgetMs(int timeoutMs) {
    return timeoutMs > kMinRequestBudgetMs ? timeoutMs : kMinRequestBudgetMs;
}

TRequestScope::TRequestScope(int peerFd, int budgetMs) {
    scope.peerFd = peerFd;
    scope.deadlineMs = MonotonicMs() + (budgetMs > 0 ? budgetMs : 0);
}

TRequestScope::~TRequestScope() {
    scope = TScope();
}

int RequestMsLeft() {
    if (scope.deadlineMs < 0) return kNoRequestBudget;
    const long long left = scope.deadlineMs - MonotonicMs();
    if (left <= 0) return 0;
    return left >= kNoRequestBudget ? kNoRequestBudget - 1 : int(left);
}

bool RequestBudgetSpent() {
    return RequestMsLeft() == 0;
}

int RequestPeerFd() {
    return scope.peerFd;
}

bool RequestPeerGone() {
    if (scope.peerFd < 0) return false;
    struct pollfd p = {scope.peerFd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && p.revents != 0;
}

int LimitOrBudgetMs(int limitMs) {
    if (limitMs != 0 || scope.deadlineMs < 0) return limitMs;
    const int left = RequestMsLeft();
    return left > 0 ? left : -2;  // a negative limit other than -1 has passed
}

int PauseForRequest(long long ms) {
    const long long end = MonotonicMs() + (ms > 0 ? ms : 0);
    for (;;) {
        const long long now = MonotonicMs();
        long long wait = end - now;
        const int budget = RequestMsLeft();
        if (wait <= 0) return 1;
        if (budget == 0) return 0;
        const bool cut = budget < wait;
        if (cut) wait = budget;
        struct pollfd p = {scope.peerFd, POLLRDHUP, 0};
        const int rc = poll(&p, scope.peerFd >= 0 ? 1 : 0, int(wait > 1000000 ? 1000000 : wait));
        if (rc > 0 && p.revents != 0) return -1;
        if (rc < 0 && errno != EINTR) return 0;
    }
}
