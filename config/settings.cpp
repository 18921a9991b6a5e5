#include "config/settings.h"

#include <sys/stat.h>

#include <cerrno>

#include "config/cfgfile.h"
#include "config/settingnumber.h"
#include "platform/filepath.h"
#include "platform/syserror.h"

TMutex optmutex;
TSettingsStore TEVSettings;

namespace {

// Why path is no regular file: the system's text, or "not a regular file".
String WhyNotAFile(const String& path) {
    struct stat st;
    if (stat(ZeroTerminated(path).Data(), &st) != 0) return GetErrorStr(errno);
    return String("not a regular file");
}

// Appends the messages of the values the agent cannot run without to
// error; returns 1 when all are there.
int CheckRequired(const TTEVSettings& s, String& error) {
    int ok = 1;
    if (s.port == 0) {
        error += "  TCP post is not specified!\n";
        ok = 0;
    }
    String unused;
    if (!CheckSettingText("password", s.password, unused)) {
        error += "  Password is not specified!\n";
        ok = 0;
    }
    if (s.tevpath.Length() == 0 || s.tevpath[1] != '/') {
        error += "  Full path to the agent is not specified!\n";
        ok = 0;
    } else if (!FileExists(s.tevpath)) {
        error += "  Invalid path to the agent!\n";
        error += String("    tevpath=") + s.tevpath + ": " + WhyNotAFile(s.tevpath) + "\n";
        ok = 0;
    }
    return ok;
}

}  // namespace

void FillZeroLimits(TTEVSettings& s) {
    if (s.timeout == 0) s.timeout = 4000;
    if (s.transferidle == 0) s.transferidle = kDefaultTransferIdleMs;
}

int LoadOptions_(TTEVSettings& s, String& error) {
    String fromFile;
    const int read = LoadCfgFile(s, fromFile);
    if (read == 0) {
        error = fromFile;
        return 0;
    }
    error = "";
    s.PutRight(error);
    FillZeroLimits(s);
    // A number out of its range is an error of its own: never wrapped,
    // never replaced by a default (a refused port would otherwise be
    // reported as missing).
    if (read < 0) {
        error += fromFile;
        return 0;
    }
    return CheckRequired(s, error);
}

int SaveOptions_(TTEVSettings& s, String& error) {
    error = "";
    s.PutRight(error);
    return SaveCfgFile(s, error);
}

// ---------------------------------------------------------------------------
// TSettingsStore

namespace {

// Every publication in any store gets a new stamp, so a thread's cached
// record can never be mistaken for the current one of another store.
std::atomic<unsigned long long> publications{0};

}  // namespace

TSettingsStore::TSettingsStore() {
    Publish(std::make_shared<TTEVSettings>());
}

// Every request reads the settings several times from many threads; a lock
// or a shared reference count touched on each read would make them queue.
// Each thread keeps the last record it saw with its stamp and takes the lock
// only when a newer record has been published.
std::shared_ptr<const TTEVSettings> TSettingsStore::Get() const {
    struct Cache {
        const TSettingsStore* store = nullptr;
        unsigned long long version = 0;
        std::shared_ptr<const TTEVSettings> record;
    };
    thread_local Cache cache;
    if (cache.store != this || cache.version != version.load(std::memory_order_acquire)) {
        TLock lock(settings_publish_mutex);
        cache.store = this;
        cache.version = version.load(std::memory_order_relaxed);
        cache.record = current;
    }
    return cache.record;
}

std::shared_ptr<TTEVSettings> TSettingsStore::CopyCurrent() const {
    return std::make_shared<TTEVSettings>(*Get());
}

void TSettingsStore::Publish(std::shared_ptr<TTEVSettings> rec) {
    TLock lock(settings_publish_mutex);
    current = std::move(rec);
    version.store(++publications, std::memory_order_release);
}

namespace {

std::atomic<TLoadReporter> loadReporter{nullptr};

}  // namespace

void SetLoadReporter(TLoadReporter reporter) {
    loadReporter.store(reporter);
}

int TSettingsStore::LoadOptions(String& error) {
    int result = 0;
    {
        TLock lock(optmutex);
        std::shared_ptr<TTEVSettings> rec = CopyCurrent();
        result = LoadOptions_(*rec, error);
        if (result) Publish(std::move(rec));
    }
    // Outside the lock: the reporter reads the settings and writes logs.
    if (const TLoadReporter report = loadReporter.load()) report(result, error);
    return result;
}

int TSettingsStore::SaveOptions(String& error) {
    TLock lock(optmutex);
    std::shared_ptr<TTEVSettings> rec = CopyCurrent();
    const int result = SaveOptions_(*rec, error);
    Publish(std::move(rec));
    return result;
}

void TSettingsStore::Update(const std::function<void(TTEVSettings&)>& fn) {
    TLock lock(optmutex);
    std::shared_ptr<TTEVSettings> rec = CopyCurrent();
    fn(*rec);
    Publish(std::move(rec));
}

int TSettingsStore::UpdateAndSave(const std::function<void(TTEVSettings&)>& fn, String& error) {
    TLock lock(optmutex);
    std::shared_ptr<TTEVSettings> rec = CopyCurrent();
    fn(*rec);
    const int result = SaveOptions_(*rec, error);
    Publish(std::move(rec));
    return result;
}
