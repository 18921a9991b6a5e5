// Built at configure time by clang with -Wthread-safety -Werror, and
// expected to fail: Unlocked writes a guarded member without its mutex.
// Locked, the correct use beside it, must draw no complaint, so the build
// fails for the one reason the analysis gives.
#include "core/threadsafety.h"

class TCounter {
  public:
    void Locked() {
        TLock lock(mu);
        count++;
    }
    void Waits() {
        TUniqueLock lock(mu);
        count++;
    }
    void Unlocked() { count++; }

  private:
    TMutex mu;
    int count TEV_GUARDED_BY(mu) = 0;
};

int UseCounter() {
    TCounter c;
    c.Locked();
    c.Waits();
    c.Unlocked();
    return 0;
}
