// The block handed from the accept loop to a session thread.
#pragma once

#include <netinet/in.h>

struct ThreadParams {
    int socket;       // the accepted connection
    in_addr address;  // the peer
    // When it arrived (NowMs of platform/clock.h): its accept, or for a
    // connection still silent when the kernel's deferral let it in, the
    // start of that deferral (agent/acceptor.cpp, Serve).
    long long acceptMs;
    bool reserve = false;  // admitted on a reserve place: management only
};
