// Run-state requests from session threads and signal handlers to the main
// thread, which polls them at least once a second in its accept loop.
#pragma once

#include <atomic>
#include <ctime>
#include <mutex>

#include "core/zostring.h"
#include "platform/clock.h"

// Guards the hand-over of a finished upgrade (upgradeScript) to the main thread.
extern std::mutex thread_mutex;
// Guards the single upgrade slot.
extern std::mutex upgrade_mutex;

class TTEVFlags {
  public:
    TTEVFlags() : startMs(NowMs()) {}

    // Writers only set these to 1; only the main thread clears them. They are
    // lock-free atomics, so a signal handler may set them too.
    std::atomic<int> upgrading{0};  // a session holds the upgrade slot (upgrade_mutex)
    std::atomic<int> terminate{0};  // QUIT
    std::atomic<int> reload{0};     // ReloadApp or a late crash: re-execute
    std::atomic<int> upgrade{0};    // run upgradeScript
    std::atomic<int> reloadcfg{0};  // SIGHUP: reload the configuration file
    const long long startMs;        // NowMs at the start of the process

    // The update script written by a completed transfer (thread_mutex).
    void SetUpgradeScript(const String& path);
    String GetUpgradeScript() const;
    // True once a script has been set; no lock, for every session's end.
    bool HasUpgradeScript() const { return upgradeScriptSet.load() != 0; }

  private:
    String upgradeScript;
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

// Has the main loop make its run-state checks now instead of at its next
// one-second check. Any thread; async-signal-safe.
void WakeMainLoop();
// Waits up to ms milliseconds, less when WakeMainLoop is called or a signal
// arrives. Main thread.
void WaitForWake(int ms);
