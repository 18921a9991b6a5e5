// The agent's run state: the requests that session threads and signal
// handlers make of the main thread (terminate, restart, run the upgrade
// script, reload the configuration), the wake-up that has the main loop
// act on them at once, and the immediate end of the process.
#pragma once

#include <atomic>

#include "core/threadsafety.h"
#include "core/zostring.h"
#include "platform/clock.h"

class TTEVFlags {
  public:
    TTEVFlags() : startMs(NowMs()) {}

    // Writers only set these to 1; only the main thread clears them. They are
    // lock-free atomics, so a signal handler may set them too.
    std::atomic<int> terminate{0};         // QUIT
    std::atomic<int> reload{0};            // ReloadApp or a late crash: re-execute
    std::atomic<int> runUpgradeScript{0};  // execute the script set below
    std::atomic<int> reloadcfg{0};         // SIGHUP: reload the configuration file
    const long long startMs;               // NowMs at the start of the process

    // The update script written by a completed transfer.
    void SetUpgradeScript(const String& path);
    String GetUpgradeScript() const;
    // True once a script has been set; no lock, for every session's end.
    bool HasUpgradeScript() const { return upgradeScriptSet.load() != 0; }

  private:
    // Guards the hand-over of the update script to the main thread.
    mutable TMutex upgrade_script_mutex;
    String upgradeScript TEV_GUARDED_BY(upgrade_script_mutex);
    std::atomic<int> upgradeScriptSet{0};
};

extern TTEVFlags TEVFlags;

// A run-state change that a request asks for. The dispatcher only names it;
// the session raises it once the reply has been sent, so the main thread
// cannot end or replace the process before the caller has its answer.
enum TRunRequest { rrNone = 0, rrTerminate, rrReload };

// Raises the flag of request in flags (terminate or reload); nothing for
// rrNone. Any thread.
void RaiseRunRequest(TTEVFlags& flags, TRunRequest request);

// True when a run-state change waits for the main loop's checks: terminate,
// restart, upgrade or configuration reload asked for, or a `port` setting
// other than listeningPort (the port the agent serves on now). Any thread.
bool RunStateChangePending(int listeningPort);

// Has the main loop make its run-state checks now instead of at its next
// one-second check. Any thread; async-signal-safe.
void WakeMainLoop();
// Waits up to ms milliseconds, less when WakeMainLoop is called or a signal
// arrives. Main thread.
void WaitForWake(int ms);

// Ends the process at once with code, after flushing standard output and
// error, without running the destructors of global objects that running
// sessions may still be using. Any thread.
[[noreturn]] void ExitNow(int code);
