// The listening socket and the main loop, which owns it and makes the
// run-state checks (terminate, restart, upgrade, port switch, reload) at
// least once a second and whenever a session asks for one; the session
// threads accept the connections themselves (acceptor.h).
#pragma once

#include "core/zostring.h"

// Opens the listening socket on the `host` and `port` settings: up to three
// attempts, one second apart (also after the last). Returns the descriptor,
// or 0 with error holding the last attempt's text. addrlen receives the
// length of the socket address. The descriptor is close-on-exec (a restart
// or an upgrade must not leave the port open in the new image). Main thread.
int Listen(unsigned int& addrlen, String& error);
// The same on `port` instead of the `port` setting.
int Listen(int port, unsigned int& addrlen, String& error);

struct ListenerState {
    int socket;            // the listening descriptor
    unsigned int addrlen;  // as reported by Listen
    int pidfile;           // the pid file descriptor, or -1
    char** argv;           // the program's own arguments, for re-execution
    int port;              // the port last listened on successfully
};

// Publishes the listening socket to the session threads and makes the
// run-state checks until the agent ends. Returns only an exit code: 4 after
// an accept failure that is not transient. Main thread.
int AcceptLoop(ListenerState& state);

// True when a run-state change waits for the main loop's checks: terminate,
// restart, upgrade or configuration reload asked for, or a `port` setting
// other than the port listened on. Any thread.
bool RunStateChangePending();
