#include "platform/namelookup.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <new>
#include <string>

#include "core/threadsafety.h"
#include "platform/clock.h"

namespace {

// One lookup shared by the waiting caller and the looking thread; the last
// of the two to let go frees it.
struct TLookup {
    TMutex lookup_mutex;
    std::condition_variable done;
    std::string host, service;
    struct addrinfo hints;
    bool finished TEV_GUARDED_BY(lookup_mutex) = false;
    bool abandoned TEV_GUARDED_BY(lookup_mutex) = false;
    int rc TEV_GUARDED_BY(lookup_mutex) = EAI_AGAIN;
    struct addrinfo* list TEV_GUARDED_BY(lookup_mutex) = nullptr;
};

// The looking thread (arg: a std::shared_ptr<TLookup> of its own): hands
// the result over, or frees it when the caller has given up waiting.
void* LookUp(void* arg) {
    std::shared_ptr<TLookup> l = std::move(*static_cast<std::shared_ptr<TLookup>*>(arg));
    delete static_cast<std::shared_ptr<TLookup>*>(arg);
    struct addrinfo* found = nullptr;
    const int rc = getaddrinfo(l->host.c_str(), l->service.empty() ? nullptr : l->service.c_str(),
                               &l->hints, &found);
    TLock lock(l->lookup_mutex);
    if (l->abandoned) {
        if (rc == 0) freeaddrinfo(found);
        return nullptr;
    }
    l->rc = rc;
    l->list = rc == 0 ? found : nullptr;
    l->finished = true;
    l->done.notify_one();
    return nullptr;
}

// Starts LookUp on a detached thread; false when no thread could start.
bool StartLooker(const std::shared_ptr<TLookup>& l) {
    auto* arg = new (std::nothrow) std::shared_ptr<TLookup>(l);
    if (arg == nullptr) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, LookUp, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete arg;
    return rc == 0;
}

}  // namespace

int LookupWithin(const char* host, const char* service, const struct addrinfo& hints,
                 long long deadlineMs, struct addrinfo** list, bool& timedOut) {
    timedOut = false;
    *list = nullptr;
    struct addrinfo numeric = hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    const int rc = getaddrinfo(host, service, &numeric, list);
    if (rc != EAI_NONAME || host == nullptr) return rc;
    std::shared_ptr<TLookup> l(new (std::nothrow) TLookup);
    if (!l) return EAI_MEMORY;
    l->host = host;
    l->service = service ? service : "";
    l->hints = hints;
    // Without a thread of its own the lookup is made here, unbounded.
    if (!StartLooker(l)) return getaddrinfo(host, service, &hints, list);
    TUniqueLock lock(l->lookup_mutex);
    while (!l->finished) {
        const long long left = deadlineMs - NowMs();
        if (left <= 0) break;
        l->done.wait_for(lock.Std(), std::chrono::milliseconds(left));
    }
    if (!l->finished) {
        l->abandoned = true;
        timedOut = true;
        return EAI_AGAIN;
    }
    *list = l->list;
    return l->rc;
}
