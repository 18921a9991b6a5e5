// The block handed from the accept loop to a session thread.
#pragma once

#include <netinet/in.h>

struct ThreadParams {
    int socket;            // the accepted connection
    in_addr address;       // the peer
    long long acceptMs;    // when it was accepted (NowMs of session.h)
    bool reserve = false;  // admitted on a reserve place: management only
};
