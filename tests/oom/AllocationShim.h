// Test-only allocation shim: counts the calling thread's allocations while armed,
// fails chosen ones, and tracks what is still live. Never part of the library.
#ifndef CPCLIENT_TESTS_OOM_ALLOCATIONSHIM_H
#define CPCLIENT_TESTS_OOM_ALLOCATIONSHIM_H

#include <cstddef>

namespace shim {

// How the armed allocations of a run fail.
enum class FailMode { NONE, ONLY_K, FROM_K_ON };

// Starts a run: the counter restarts, allocation k (1-based) and, for FROM_K_ON,
// every one after it fail; live tracking restarts.
void startRun(FailMode mode, long k);
// Allocations counted so far in this run.
long counted();
// Live blocks allocated while armed and not yet freed, except strings and the
// array that the process environment holds.
long liveBlocks();
// Prints each of those blocks to standard error, for diagnosing a leak.
void printLive();

// Arms the calling thread for its lifetime.
class Armed {
 public:
  Armed();
  ~Armed();
  Armed(const Armed&) = delete;
  Armed& operator=(const Armed&) = delete;
};

}  // namespace shim

#endif  // CPCLIENT_TESTS_OOM_ALLOCATIONSHIM_H
