// The listening socket and the accept loop of the main thread, with the
// run-state checks (terminate, restart, upgrade, port switch, reload) made
// before every wait for a connection.
#pragma once

#include "core/zostring.h"

// Opens the listening socket on the `host` and `port` settings: up to three
// attempts, one second apart (also after the last). Returns the descriptor,
// or 0 with error holding the last attempt's text. addrlen receives the
// length of the socket address. The descriptor is close-on-exec and
// non-blocking (the accept loop relies on both). Main thread.
int Listen(unsigned int& addrlen, String& error);

struct ListenerState {
    int socket;            // the listening descriptor
    unsigned int addrlen;  // as reported by Listen
    int pidfile;           // the pid file descriptor, or -1
    char** argv;           // the program's own arguments, for re-execution
    int port;              // the port last listened on successfully
};

// Serves connections until the agent ends. Returns only an exit code.
int AcceptLoop(ListenerState& state);
