#include "cli/Readiness.h"

#include <algorithm>

#include "cli/StopSignals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

namespace kelvane::cli {

std::vector<bool> WaitForReadiness(const std::vector<std::intptr_t>& handles, bool withStop,
                                   std::chrono::microseconds wait) {
  std::vector<bool> ready(handles.size(), false);
  wait = std::max(wait, std::chrono::microseconds::zero());
#ifdef _WIN32
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  std::vector<HANDLE> events;
  std::vector<std::size_t> owners;
  for (std::size_t k = 0; k < handles.size(); ++k)
    if (handles[k] >= 0 && events.size() < MAXIMUM_WAIT_OBJECTS - 1) {
      events.push_back(reinterpret_cast<HANDLE>(handles[k]));
      owners.push_back(k);
    }
  if (withStop && StopSignalHandle() >= 0)
    events.push_back(reinterpret_cast<HANDLE>(StopSignalHandle()));
  if (events.empty()) {
    ::Sleep(static_cast<DWORD>(ms));
    return ready;
  }
  // The call names only the first event set: every line is looked at after it.
  const DWORD got = ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(),
                                             FALSE, static_cast<DWORD>(ms));
  if (got == WAIT_TIMEOUT || got == WAIT_FAILED) return ready;
  for (std::size_t i = 0; i < owners.size(); ++i)
    ready[owners[i]] = ::WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0;
#else
  std::vector<pollfd> fds;
  std::vector<std::size_t> owners;
  for (std::size_t k = 0; k < handles.size(); ++k)
    if (handles[k] >= 0) {
      fds.push_back({static_cast<int>(handles[k]), POLLIN, 0});
      owners.push_back(k);
    }
  if (withStop && StopSignalHandle() >= 0)
    fds.push_back({static_cast<int>(StopSignalHandle()), POLLIN, 0});
  const auto us = wait.count();
  const timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
  if (::ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0) return ready;
  for (std::size_t i = 0; i < owners.size(); ++i) ready[owners[i]] = fds[i].revents != 0;
#endif
  return ready;
}

}  // namespace kelvane::cli
