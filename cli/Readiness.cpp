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
                                   std::chrono::milliseconds wait) {
  std::vector<bool> ready(handles.size(), false);
  const auto ms = std::max<long long>(wait.count(), 0);
#ifdef _WIN32
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
  if (::poll(fds.data(), fds.size(), static_cast<int>(ms)) <= 0) return ready;
  for (std::size_t i = 0; i < owners.size(); ++i) ready[owners[i]] = fds[i].revents != 0;
#endif
  return ready;
}

}  // namespace kelvane::cli
