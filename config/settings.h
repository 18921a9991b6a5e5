// The agent's settings record and its publication to the threads.
//
// TTEVSettings holds every setting: run mode from the command line, the
// values of the configuration file, the per-test right flags and one derived
// field (activefilter). Records are never changed once other threads can see
// them: the store publishes immutable snapshots, every change works on a
// private copy and publishes it whole, so a reader never sees a half-written
// String and a request keeps one consistent view from start to end.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "core/zostring.h"

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
    //    tevpath (when tevpath has one) put in front.
    // 3. tmpdir that is empty or not an existing directory is replaced by
    //    $TMPDIR (or, only when TMPDIR is unset, $TMP) when that names an
    //    existing directory, else by "."; one trailing '/' is removed (but
    //    "/" stays "/"). The agent's environment is never changed (other
    //    threads read it, and a spawn copies it): the value travels in the
    //    record, and children get it as TMPDIR in the environment built for
    //    their start (platform/process.h).
    // error is set only by step 1 and never cleared. Runs only on a private
    // copy (inside the load and save), never on a published record.
    void PutRight(String& error);

    // Configuration file load and save (config/cfgfile.h).
    int LoadOptions_(String& error);
    int SaveOptions_(String& error);
};

// Serialises every load, save and update of the published settings.
extern std::mutex optmutex;

// Holder of the published settings snapshot.
class TSettingsStore {
  public:
    // Publishes a default-constructed record.
    TSettingsStore();
    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    // The current record; from any thread at any moment, never null, takes
    // no lock that a writer holds for long. The snapshot never changes: a
    // request keeps the one it took at its start.
    std::shared_ptr<const TTEVSettings> Get() const;

    // Reloads the configuration file: under optmutex copies the current
    // record, runs LoadOptions_ on the copy and publishes the copy only when
    // it returned 1, so a failed reload keeps the settings in force. Returns
    // LoadOptions_'s result; error holds its text. Not for signal handlers.
    int LoadOptions(String& error);

    // Saves the settings: under optmutex copies the current record, runs
    // SaveOptions_ on the copy (which runs PutRight) and publishes the copy
    // whatever the result, so the derived values apply even when the file
    // could not be written. Returns SaveOptions_'s result and text.
    int SaveOptions(String& error);

    // Under optmutex: copies the current record, calls fn on the copy and
    // publishes it. fn must not call back into the store (it would wait for
    // optmutex forever).
    void Update(const std::function<void(TTEVSettings&)>& fn);

    // Under one hold of optmutex: copies, calls fn on the copy, runs
    // SaveOptions_ on it and publishes it whatever the save's result.
    // Returns the save's result and text. fn as for Update.
    int UpdateAndSave(const std::function<void(TTEVSettings&)>& fn, String& error);

  private:
    std::shared_ptr<TTEVSettings> CopyCurrent() const;
    void Publish(std::shared_ptr<TTEVSettings> rec);

    // Guards `current`. Readers take it only when the record changed since
    // their thread last looked (see Get), so it is almost never contended.
    mutable std::mutex settings_publish_mutex;
    std::shared_ptr<const TTEVSettings> current;
    // Stamp of the record in `current`, unique across all stores.
    std::atomic<unsigned long long> version{0};
};

// The agent's settings.
extern TSettingsStore TEVSettings;

// Shorthand for the current snapshot.
inline std::shared_ptr<const TTEVSettings> Settings() {
    return TEVSettings.Get();
}
