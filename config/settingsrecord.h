// The agent's settings record.
//
// TTEVSettings holds every setting: run mode from the command line, the
// values of the configuration file (config/cfgfile.h), the per-test right
// flags and one derived field (activefilter). It is a plain value: the
// store (config/settings.h) copies it, changes the copy and publishes it
// whole, so no record that other threads can see is ever changed.
#pragma once

#include "core/zostring.h"

// The value of proccntscript, cpuusagescript and proclistscript that makes
// the agent answer the request itself, with the code of its process tool
// (platform/proctools.h), instead of starting a program. Any other value
// names a program, which is always started.
extern const char kBuiltinScript[];  // "builtin"

// True when value is exactly kBuiltinScript. Pure.
bool IsBuiltinScript(const String& value);

class TTEVSettings {
  public:
    // All texts empty, all numbers and flags 0, cfgfile empty.
    TTEVSettings();

    int interactive;      // 1: foreground with console output; 0: daemon
    int verbose;          // write every message to the verbose log
    int debug;            // verbose debugging messages
    char cfgfile[512];    // configuration file path, zero-terminated
    String tmpdir;        // directory for temporary files, see PutRight
    String tevpath;       // full path of the agent's own executable
    String pidfile;       // pid file path; empty: none
    String host;          // local listen address; empty: every address
    int port;             // TCP listen port
    int timeout;          // session time limit, milliseconds
    int delayforscripts;  // pause before a shell script, microseconds
    int transferidle;     // stall limit of an upgrade transfer, milliseconds
    String password;      // shared password, plain text
    String comment;       // free text reported by GetInfo
    String verboselogfile;
    int logsuccess;  // log successful connections
    String oklogfile;
    int filteractive;  // accept only enabled filter addresses
    int logfails;      // log failures
    String badlogfile;
    String filterlist;    // filter addresses, lines separated by CR LF
    int allowupdates;     // accept code upgrades
    String updateaddr;    // address list of peers allowed to upgrade
    String filtermarks;   // one character per filter item, "1" enables it
    int allowmanage;      // accept administrative commands
    String manageaddr;    // address list of peers allowed to administer
    String activefilter;  // derived by PutRight: CR LF, then item CR LF each
    // Right flags, one per test or action kind (freespace, script and ping
    // are stored and saved but guard nothing).
    int unc;
    int freespace;
    int foldersize;
    int countfiles;
    int fileexists;
    int filecrc;
    int comparefiles;
    int process;
    int cpuusage;
    int script;
    int external;
    int ping;
    int tcp;
    int udp;
    int textlog;
    int shellscript;
    int executeaction;
    int tcpudpaction;
    int syslogaction;
    String cpuusagescript;
    String proclistscript;
    String proccntscript;

    // Brings the derived values in step with the plain ones:
    // 1. activefilter becomes CR LF followed by "item CR LF" for every item i
    //    of filterlist (split at LF, trimmed) whose mark, character i of
    //    filtermarks, is '1'. A mark without a non-empty item sets error to
    //    "FilterMarks has less items than FilterList" and ends the walk
    //    (items enabled so far stay). Items beyond the last mark are off.
    // 2. A non-empty script path without any '/' gets the directory of
    //    tevpath (when tevpath has one) put in front; kBuiltinScript stays.
    // 3. tmpdir that is empty or not an existing directory is replaced by
    //    $TMPDIR (or, only when TMPDIR is unset, $TMP) when that names an
    //    existing directory, else by "."; one trailing '/' is removed (but
    //    "/" stays "/"). The agent's environment is never changed (other
    //    threads read it, and a spawn copies it): the value travels in the
    //    record, and children get it as TMPDIR in the environment built for
    //    their start (platform/process.h).
    // error is set only by step 1 and never cleared. Runs only on a private
    // copy (inside the load and save, config/settings.h), never on a published
    // record.
    void PutRight(String& error);
};
