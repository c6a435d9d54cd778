#pragma once
// The one wait of kelvane-cli's loops: on the lines' readiness handles (ReadinessHandle(): a
// descriptor for poll() on POSIX systems, an event for WaitForMultipleObjects on Windows) and
// on the stop signal, at most for a given time.

#include <chrono>
#include <cstdint>
#include <vector>

namespace kelvane::cli {

// Waits until one of `handles` is ready, a stop signal comes (when `withStop`) or `wait` has
// passed (to the microsecond on POSIX systems, to the millisecond on Windows). Handles below
// 0 are passed over. Returns, for each handle, whether it is ready.
std::vector<bool> WaitForReadiness(const std::vector<std::intptr_t>& handles, bool withStop,
                                   std::chrono::microseconds wait);

// The same wait for a loop that waits again and again on much the same handles. On Linux it
// keeps them in an epoll set, so that a wait costs what is ready rather than every line
// watched (64 ports: 64 terminals looked at on every wake otherwise). A handle must leave
// the list before it is closed, as a finished transfer's does.
class Readiness {
 public:
  Readiness();
  ~Readiness();
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  std::vector<bool> Wait(const std::vector<std::intptr_t>& handles, bool withStop,
                         std::chrono::microseconds wait);

 private:
  int set_ = -1;              // the epoll set; -1: none (another system, or it failed)
  std::vector<int> watched_;  // what it holds, in order
};

}  // namespace kelvane::cli
