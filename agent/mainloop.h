// The listening socket and the main loop, which owns it and makes the
// run-state checks (terminate, restart, upgrade, port switch, reload) at
// least once a second and whenever a session asks for one; the pool's
// threads accept the connections themselves (agent/pool.h).
#pragma once

#include "core/zostring.h"

// Opens the listening socket on the `host` and `port` settings: up to three
// attempts, one second apart (also after the last). Returns the descriptor,
// or 0 with error holding the last attempt's text. The descriptor is
// close-on-exec (a restart or an upgrade must not leave the port open in
// the new image). Main thread.
int Listen(String& error);
// The same on `port` instead of the `port` setting.
int Listen(int port, String& error);

struct MainLoopState {
    int socket;   // the listening descriptor
    int pidfile;  // the pid file descriptor, or -1
    char** argv;  // the program's own arguments, for re-execution
    int port;     // the port last listened on successfully
};

// Publishes the listening socket to the pool and makes the run-state checks
// until the agent ends. Whenever the agent ends or replaces its image
// (QUIT, SIGTERM, SIGINT, ReloadApp, the update script, a fatal port or
// accept failure) the running requests' children and temporary files are
// ended first (EndRunningChildren), and before it exits the ended serving
// threads are joined. Ends the process itself (exit code 4 after an accept
// failure that is not transient); the result is never returned. Main thread.
int RunMainLoop(MainLoopState& state);
