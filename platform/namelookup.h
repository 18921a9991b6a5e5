// Name lookup with a time limit: getaddrinfo itself has none of its own
// (a resolver that does not answer holds it for its own retries, often
// half a minute), so a caller that promised an answer within a time would
// break the promise.
#pragma once

#include <netdb.h>

// getaddrinfo(host, service, &hints, list), waiting no longer than until
// deadlineMs (NowMs of platform/clock.h). A numeric address is converted at
// once; a name is looked up on a thread of its own, which is left to finish
// by itself (and to free what it found) when the time runs out. Returns 0
// with *list to be freed with freeaddrinfo, getaddrinfo's error code, or
// EAI_AGAIN with timedOut set when the time ran out first. Any thread.
int LookupWithin(const char* host, const char* service, const struct addrinfo& hints,
                 long long deadlineMs, struct addrinfo** list, bool& timedOut);
