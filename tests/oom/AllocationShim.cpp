// Replaces malloc, calloc, realloc and free for the test program; strdup and
// operator new reach them through the C library and the C++ runtime.
#include "oom/AllocationShim.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
}

extern char** environ;

namespace {

thread_local bool armed = false;
shim::FailMode failMode = shim::FailMode::NONE;
long failAt = 0;
long allocationCount = 0;

// Open-addressing set of live blocks allocated while armed.
constexpr size_t SLOTS = 1 << 16;
void* const TOMBSTONE = reinterpret_cast<void*>(1);
void* slots[SLOTS];
long tracked = 0;

size_t slotOf(void* p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 2654435761u % SLOTS; }

void track(void* p) {
  for (size_t i = slotOf(p);; i = (i + 1) % SLOTS) {
    if (!slots[i] || slots[i] == TOMBSTONE) {
      slots[i] = p;
      tracked++;
      return;
    }
  }
}

bool untrack(void* p) {
  if (tracked == 0 || !p) return false;
  for (size_t i = slotOf(p); slots[i]; i = (i + 1) % SLOTS) {
    if (slots[i] == p) {
      slots[i] = TOMBSTONE;
      tracked--;
      return true;
    }
  }
  return false;
}

bool failNow() {
  if (!armed) return false;
  long n = ++allocationCount;
  switch (failMode) {
    case shim::FailMode::ONLY_K: return n == failAt;
    case shim::FailMode::FROM_K_ON: return n >= failAt;
    default: return false;
  }
}

bool heldByEnvironment(void* p) {
  if (p == environ) return true;
  for (char** e = environ; e && *e; e++)
    if (*e == p) return true;
  return false;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  if (failNow()) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_malloc(size);
  if (p && armed) track(p);
  return p;
}

void* calloc(size_t count, size_t size) {
  if (failNow()) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = __libc_calloc(count, size);
  if (p && armed) track(p);
  return p;
}

void* realloc(void* block, size_t size) {
  if (failNow()) {
    errno = ENOMEM;
    return nullptr;
  }
  bool wasTracked = untrack(block);
  void* p = __libc_realloc(block, size);
  if (!p) {
    if (wasTracked) track(block);
    return nullptr;
  }
  if (wasTracked || armed) track(p);
  return p;
}

void free(void* block) {
  untrack(block);
  __libc_free(block);
}

}  // extern "C"

namespace shim {

void startRun(FailMode mode, long k) {
  failMode = mode;
  failAt = k;
  allocationCount = 0;
  memset(slots, 0, sizeof slots);
  tracked = 0;
}

long counted() { return allocationCount; }

long liveBlocks() {
  long live = 0;
  for (void* p : slots)
    if (p && p != TOMBSTONE && !heldByEnvironment(p)) live++;
  return live;
}

Armed::Armed() { armed = true; }
Armed::~Armed() { armed = false; }

void printLive() {
  for (void* p : slots)
    if (p && p != TOMBSTONE && !heldByEnvironment(p)) fprintf(stderr, "live %p: %.40s\n", p, static_cast<char*>(p));
}

}  // namespace shim
