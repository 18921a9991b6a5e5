#include "tools/fleet.h"

#include <atomic>
#include <condition_variable>
#include <thread>

#include "core/threadsafety.h"
#include "protocol/clientpacket.h"

namespace {

std::string ToStd(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

// The outcomes of a run, filled by the workers, read in order by the
// caller.
class TOutcomes {
  public:
    explicit TOutcomes(size_t n) : slots(n), done(n, false) {}

    void Put(size_t i, THostOutcome o) TEV_EXCLUDES(fleet_mutex) {
        {
            TLock lock(fleet_mutex);
            slots[i] = std::move(o);
            done[i] = true;
        }
        ready.notify_all();
    }

    // Waits until outcome i is in, then hands it over.
    THostOutcome Take(size_t i) TEV_EXCLUDES(fleet_mutex) {
        TUniqueLock lock(fleet_mutex);
        ready.wait(lock.Std(), [&]() TEV_NO_THREAD_SAFETY_ANALYSIS { return done[i]; });
        return std::move(slots[i]);
    }

  private:
    TMutex fleet_mutex;
    std::condition_variable ready;
    std::vector<THostOutcome> slots TEV_GUARDED_BY(fleet_mutex);
    std::vector<bool> done TEV_GUARDED_BY(fleet_mutex);
};

}  // namespace

void FillList(const std::vector<String>& items, TStrList& list) {
    list.Clear();
    for (const String& s : items) list.Add(s);
}

THostOutcome AskHost(const std::string& host, int port, const TFleetRequest& req) {
    THostOutcome o;
    String sessionKey, error, reply, body;
    if (!NewSessionKey(sessionKey, error)) {
        o.error = "no session key: " + ToStd(error);
        return o;
    }
    TStrList params;
    FillList(req.params, params);
    const String packet =
        BuildRequestPacket(req.password, sessionKey, BuildRequestBody(req.command, params));
    o.rc = ExchangePacket(host.c_str(), port, packet, req.timeoutMs, reply, error);
    if (o.rc != 1) {
        o.error = ToStd(error);
        return o;
    }
    TStrList values;
    if (!ParseReplyPacket(reply, sessionKey, body) || !SplitReplyBody(body, o.code, values)) {
        o.rc = 0;
        o.error = "malformed reply";
        o.code = "";
        return o;
    }
    for (int i = 0; i < values.Count(); i++) o.values.push_back(values[i]);
    return o;
}

void AskHosts(const std::vector<THostEntry>& hosts, const TFleetRequest& req, int parallel,
              const std::function<void(size_t, const THostOutcome&)>& report) {
    TOutcomes outcomes(hosts.size());
    std::atomic<size_t> next{0};
    const size_t workers = std::min(hosts.size(), size_t(parallel < 1 ? 1 : parallel));
    std::vector<std::thread> pool;
    pool.reserve(workers);
    for (size_t w = 0; w < workers; w++)
        pool.emplace_back([&]() {
            for (size_t i = next++; i < hosts.size(); i = next++)
                outcomes.Put(i, AskHost(hosts[i].host, hosts[i].port, req));
        });
    for (size_t i = 0; i < hosts.size(); i++) report(i, outcomes.Take(i));
    for (std::thread& t : pool) t.join();
}
