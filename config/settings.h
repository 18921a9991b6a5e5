// The store of the agent's settings: loading and saving a record
// (config/settingsrecord.h) through the configuration file
// (config/cfgfile.h), and its publication to the threads.
//
// Records are never changed once other threads can see them: the store
// publishes immutable snapshots, every change works on a private copy and
// publishes it whole, so a reader never sees a half-written String and a
// request keeps one consistent view from start to end.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "config/settingsrecord.h"
#include "core/threadsafety.h"
#include "core/zostring.h"

// The load of s from its configuration file, in four steps: LoadCfgFile
// (which sets the load defaults and reads the file), s.PutRight, the limits
// left at 0 filled in (timeout 4000, transferidle kDefaultTransferIdleMs)
// and the checks of the values the agent cannot run without. Returns 1 on
// success (error empty or holding PutRight's filter warning). Returns 0 on
// failure, with error holding
// - LoadCfgFile's "Configuration file is not specified" or "Cannot open
//   configuration file '<path>'", or
// - PutRight's warning (if any) followed by the lines of the numbers
//   LoadCfgFile refused, or
// - when every number was taken, PutRight's warning and the messages of
//   the failed checks in the order port, password, path:
//   "  TCP post is not specified!\n", "  Password is not specified!\n",
//   "  Full path to the agent is not specified!\n" or
//   "  Invalid path to the agent!\n".
// The values read stay in s either way. Takes no lock: for a private record
// (the store's copy, the configuration check).
int LoadOptions_(TTEVSettings& s, String& error);

// Gives the limits left at 0 their defaults, as every load does: timeout
// 4000, transferidle kDefaultTransferIdleMs. Pure.
void FillZeroLimits(TTEVSettings& s);

// The save of s into its configuration file: empties error, runs
// s.PutRight(error), then SaveCfgFile. Returns 1 on success (error empty or
// PutRight's warning), 0 with error holding SaveCfgFile's message. Takes no
// lock: for a private record.
int SaveOptions_(TTEVSettings& s, String& error);

// Serialises every load, save and update of the published settings.
extern TMutex optmutex;

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
    std::shared_ptr<const TTEVSettings> Get() const TEV_EXCLUDES(settings_publish_mutex);

    // Reloads the configuration file: under optmutex copies the current
    // record, runs LoadOptions_ on the copy and publishes the copy only when
    // it returned 1, so a failed reload keeps the settings in force. Then,
    // with optmutex released, hands the result and text to the load
    // reporter when one is set (SetLoadReporter), so every reload, whoever
    // asks for it, is reported in one place. Returns LoadOptions_'s result;
    // error holds its text. Not for signal handlers.
    int LoadOptions(String& error) TEV_EXCLUDES(optmutex);

    // Saves the settings: under optmutex copies the current record, runs
    // SaveOptions_ on the copy (which runs PutRight) and publishes the copy
    // whatever the result, so the derived values apply even when the file
    // could not be written. Returns SaveOptions_'s result and text.
    int SaveOptions(String& error) TEV_EXCLUDES(optmutex);

    // Under optmutex: copies the current record, calls fn on the copy and
    // publishes it. fn must not call back into the store (it would wait for
    // optmutex forever).
    void Update(const std::function<void(TTEVSettings&)>& fn) TEV_EXCLUDES(optmutex);

    // Under one hold of optmutex: copies, calls fn on the copy, runs
    // SaveOptions_ on it and publishes it whatever the save's result.
    // Returns the save's result and text. fn as for Update.
    int UpdateAndSave(const std::function<void(TTEVSettings&)>& fn, String& error)
        TEV_EXCLUDES(optmutex);

  private:
    std::shared_ptr<TTEVSettings> CopyCurrent() const;
    void Publish(std::shared_ptr<TTEVSettings> rec) TEV_EXCLUDES(settings_publish_mutex);

    // Guards `current`. Readers take it only when the record changed since
    // their thread last looked (see Get), so it is almost never contended.
    mutable TMutex settings_publish_mutex;
    std::shared_ptr<const TTEVSettings> current TEV_GUARDED_BY(settings_publish_mutex);
    // Stamp of the record in `current`, unique across all stores.
    std::atomic<unsigned long long> version{0};
};

// The agent's settings.
extern TSettingsStore TEVSettings;

// What a load reporter is told after a reload: LoadOptions' result and text.
typedef void (*TLoadReporter)(int result, const String& error);

// Sets the function every TSettingsStore::LoadOptions calls after its load
// (null: none). The agent sets it once its first load is done, so that it
// reports the reloads (SIGHUP, ReloadCfg) in its log; the first load is
// reported by the start-up itself. Any thread.
void SetLoadReporter(TLoadReporter reporter);

// Shorthand for the current snapshot.
inline std::shared_ptr<const TTEVSettings> Settings() {
    return TEVSettings.Get();
}
