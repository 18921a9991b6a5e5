// Console and log output. Every message the agent reports about its own work
// goes through showmessage, which stamps it with the time and the peer
// address, prints it in interactive mode and appends it to the log files
// chosen by its class and the settings.
#pragma once

#include <netinet/in.h>

#include "core/threadsafety.h"
#include "core/zostring.h"

enum MsgType { mtSuccess = 0, mtFailure = 1, mtDebug = 2, mtInfo = 3 };

// Held for the whole of each showmessage call, so lines stay whole.
extern TMutex showmutex;

// Reports one message. With hasArgs non-zero, format is a printf format
// filled by the further arguments; otherwise it is plain text. peer.s_addr 0
// means a message about the agent itself. mtDebug messages are dropped unless
// debugging was asked for. The expanded message is cut to 511 bytes, each
// line too, and every line ends with a line break: the message's own
// closing ones, or one added when it has none or was cut. Control
// characters inside the message (a peer's command name, say) are written
// escaped as \t, \r, \n or \xHH, and a backslash as \\, so no text can
// end a line early or forge one. Any thread; not from a signal handler.
void showmessage(const char* format, in_addr peer, MsgType type, int hasArgs, ...)
    __attribute__((format(printf, 1, 5)));

// The file a log setting names: a bare file name lives beside the
// configuration file cfgfile, any other name is taken as it is. Pure.
String LogFilePath(const String& name, const char* cfgfile);

// Appends line to the file `name` (relative names live beside the
// configuration file); does nothing for an empty name or a null line. A file
// that cannot be opened is skipped. Callers hold showmutex.
void writelog(String name, const char* line) TEV_REQUIRES(showmutex);

// A peer address of 0: the message concerns the agent itself.
inline in_addr NoPeer() {
    in_addr a;
    a.s_addr = 0;
    return a;
}
