// One accepted connection as the pool hands it to a session.
#pragma once

#include <netinet/in.h>

struct TConnection {
    int socket;       // the accepted connection
    in_addr address;  // the peer
    // When it arrived (NowMs of platform/clock.h): its accept, or for a
    // connection still silent when the kernel's deferral let it in, the
    // start of that deferral (agent/sessiondriver.h).
    long long acceptMs;
    bool reserve = false;  // admitted on a reserve place: management only
    int port = 0;          // the listening port it came in on
};
