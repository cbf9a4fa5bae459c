// Base services of the host: environment, the pending-table lock object and sleeping.
#ifndef CPCLIENT_HOST_SERVICES_H
#define CPCLIENT_HOST_SERVICES_H

#include <atomic>
#include <cstdint>

// An 8-byte lock that is ready for use when zero, so it may live in static storage
// without being created. Waiters sleep in the kernel instead of spinning. After
// SVC1_DestroyLock it is zero again and the next SVC1_GetLock takes it as new.
struct SVC1_Lock {
  std::atomic<int32_t> state;  // 0 free, 1 held, 2 held with waiters
  int32_t reserved;
};
static_assert(sizeof(SVC1_Lock) == 8, "the lock object is 8 bytes");

// Blocks until the calling thread holds the lock. Not recursive.
void SVC1_GetLock(SVC1_Lock* lock);
// Releases a lock that the calling thread holds, waking one waiter.
void SVC1_ReleaseLock(SVC1_Lock* lock);
// Returns the lock to its zero state; call it only while no thread holds or waits for it.
void SVC1_DestroyLock(SVC1_Lock* lock);

// Returns the process environment's value for name, or defaultValue when it is unset.
// The text belongs to the environment: read it at once and never free it.
const char* SVC1_GetEnv(const char* name, const char* defaultValue);
// Puts a heap copy of "NAME=value" into the process environment. The environment
// keeps the string itself, so the caller must neither change nor free it. Returns 0
// on success, -1 when assignment is null or has no '='.
int SVC1_PutEnv(char* assignment);

// Sleeps units times CP_SLEEP_UNIT_MS milliseconds (1000 when unset), read at each
// call; an interrupting signal does not shorten the sleep.
void SVC1_Sleep(int units);
// The length of one sleep unit in milliseconds: CP_SLEEP_UNIT_MS as read now, or 1000.
long sleepUnitMs();
// Sleeps ms milliseconds (nothing when ms <= 0); a signal does not shorten it.
void sleepMs(long long ms);

#endif  // CPCLIENT_HOST_SERVICES_H
