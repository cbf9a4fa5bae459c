// Base services: environment access, a futex-backed lock that needs no creation, sleeping.
#include "host/Services.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int32_t LOCK_FREE = 0;
constexpr int32_t LOCK_HELD = 1;
constexpr int32_t LOCK_CONTENDED = 2;
constexpr long DEFAULT_SLEEP_UNIT_MS = 1000;

void futexWait(std::atomic<int32_t>* word, int32_t expected) {
  syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeOne(std::atomic<int32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

void SVC1_GetLock(SVC1_Lock* lock) {
  int32_t seen = LOCK_FREE;
  if (lock->state.compare_exchange_strong(seen, LOCK_HELD, std::memory_order_acquire)) return;
  int savedErrno = errno;  // only the waits below can touch it
  if (seen != LOCK_CONTENDED) seen = lock->state.exchange(LOCK_CONTENDED, std::memory_order_acquire);
  while (seen != LOCK_FREE) {
    futexWait(&lock->state, LOCK_CONTENDED);
    seen = lock->state.exchange(LOCK_CONTENDED, std::memory_order_acquire);
  }
  errno = savedErrno;
}

void SVC1_ReleaseLock(SVC1_Lock* lock) {
  if (lock->state.fetch_sub(1, std::memory_order_release) != LOCK_HELD) {
    int savedErrno = errno;
    lock->state.store(LOCK_FREE, std::memory_order_release);
    futexWakeOne(&lock->state);
    errno = savedErrno;
  }
}

void SVC1_DestroyLock(SVC1_Lock* lock) {
  lock->state.store(LOCK_FREE, std::memory_order_release);
  lock->reserved = 0;
}

const char* SVC1_GetEnv(const char* name, const char* defaultValue) {
  if (!name) return defaultValue;
  const char* value = getenv(name);
  return value ? value : defaultValue;
}

int SVC1_PutEnv(char* assignment) {
  if (!assignment || !strchr(assignment, '=')) return -1;
  return putenv(assignment) == 0 ? 0 : -1;
}

void SVC1_Sleep(int units) {
  if (units <= 0) return;
  sleepMs(static_cast<long long>(units) * sleepUnitMs());
}

long sleepUnitMs() {
  if (const char* text = getenv("CP_SLEEP_UNIT_MS")) {
    char* end = nullptr;
    long parsed = strtol(text, &end, 10);
    if (end != text && parsed >= 0) return parsed;
  }
  return DEFAULT_SLEEP_UNIT_MS;
}

void sleepMs(long long ms) {
  if (ms <= 0) return;
  timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  int savedErrno = errno;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  errno = savedErrno;
}
