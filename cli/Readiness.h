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

}  // namespace kelvane::cli
