// Mutexes the compiler can check. Under clang with -Wthread-safety, a member
// marked TEV_GUARDED_BY(mu) may only be touched while mu is held, and a
// function marked TEV_REQUIRES(mu) may only be called with mu held; a missed
// lock is a build error, not a race found later. Under other compilers the
// marks are empty and TMutex is a plain std::mutex.
//
// Use TMutex in place of std::mutex, TLock in place of std::lock_guard, and
// TUniqueLock where a std::condition_variable must wait (pass lock.Std()).
#pragma once

#include <mutex>

#if defined(__clang__)
#define TEV_THREAD_ATTR(x) __attribute__((x))
#else
#define TEV_THREAD_ATTR(x)
#endif

#define TEV_CAPABILITY(x) TEV_THREAD_ATTR(capability(x))
#define TEV_SCOPED_CAPABILITY TEV_THREAD_ATTR(scoped_lockable)
#define TEV_GUARDED_BY(x) TEV_THREAD_ATTR(guarded_by(x))
#define TEV_PT_GUARDED_BY(x) TEV_THREAD_ATTR(pt_guarded_by(x))
#define TEV_REQUIRES(...) TEV_THREAD_ATTR(requires_capability(__VA_ARGS__))
#define TEV_EXCLUDES(...) TEV_THREAD_ATTR(locks_excluded(__VA_ARGS__))
#define TEV_ACQUIRE(...) TEV_THREAD_ATTR(acquire_capability(__VA_ARGS__))
#define TEV_RELEASE(...) TEV_THREAD_ATTR(release_capability(__VA_ARGS__))
#define TEV_TRY_ACQUIRE(...) TEV_THREAD_ATTR(try_acquire_capability(__VA_ARGS__))
#define TEV_RETURN_CAPABILITY(x) TEV_THREAD_ATTR(lock_returned(x))
#define TEV_NO_THREAD_SAFETY_ANALYSIS TEV_THREAD_ATTR(no_thread_safety_analysis)

// A std::mutex the analysis knows as a capability.
class TEV_CAPABILITY("mutex") TMutex {
  public:
    TMutex() = default;
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    void lock() TEV_ACQUIRE() { mu.lock(); }
    void unlock() TEV_RELEASE() { mu.unlock(); }
    bool try_lock() TEV_TRY_ACQUIRE(true) { return mu.try_lock(); }

    // The underlying mutex, for std::unique_lock and condition variables.
    std::mutex& Native() TEV_RETURN_CAPABILITY(this) { return mu; }

  private:
    std::mutex mu;
};

// Holds a TMutex for its scope (std::lock_guard).
class TEV_SCOPED_CAPABILITY TLock {
  public:
    explicit TLock(TMutex& m) TEV_ACQUIRE(m) : mu(m) { mu.lock(); }
    ~TLock() TEV_RELEASE() { mu.unlock(); }
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;

  private:
    TMutex& mu;
};

// Holds a TMutex for its scope and lends a std::unique_lock to a condition
// variable's wait, which releases and retakes the mutex inside the wait.
class TEV_SCOPED_CAPABILITY TUniqueLock {
  public:
    explicit TUniqueLock(TMutex& m) TEV_ACQUIRE(m) : lock(m.Native()) {}
    ~TUniqueLock() TEV_RELEASE() {}
    TUniqueLock(const TUniqueLock&) = delete;
    TUniqueLock& operator=(const TUniqueLock&) = delete;

    std::unique_lock<std::mutex>& Std() { return lock; }

  private:
    std::unique_lock<std::mutex> lock;
};
