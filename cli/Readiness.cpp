#include "cli/Readiness.h"

#include <algorithm>
#include <iterator>

#include "cli/StopSignals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>

#include <ctime>
#endif
#ifdef __linux__
#include <sys/epoll.h>
#endif

namespace kelvane::cli {

#ifndef _WIN32
namespace {
// ppoll for up to `wait`, to the microsecond: true when something is ready.
bool PollFor(pollfd* fds, std::size_t n, std::chrono::microseconds wait) {
  const auto us = std::max(wait, std::chrono::microseconds::zero()).count();
  const timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
  return ::ppoll(fds, n, &ts, nullptr) > 0;
}
}  // namespace
#endif

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
  if (!PollFor(fds.data(), fds.size(), wait)) return ready;
  for (std::size_t i = 0; i < owners.size(); ++i) ready[owners[i]] = fds[i].revents != 0;
#endif
  return ready;
}

#ifdef __linux__

namespace {
// Up to this many handles are polled directly.
constexpr std::size_t kFewHandles = 8;
}  // namespace

Readiness::Readiness() : set_(::epoll_create1(EPOLL_CLOEXEC)) {}

Readiness::~Readiness() {
  if (set_ >= 0) ::close(set_);
}

std::vector<bool> Readiness::Wait(const std::vector<std::intptr_t>& handles, bool withStop,
                                  std::chrono::microseconds wait) {
  if (set_ < 0) return WaitForReadiness(handles, withStop, wait);
  std::vector<int> want;
  for (const std::intptr_t h : handles)
    if (h >= 0) want.push_back(static_cast<int>(h));
  if (withStop && StopSignalHandle() >= 0) want.push_back(static_cast<int>(StopSignalHandle()));
  std::sort(want.begin(), want.end());
  want.erase(std::unique(want.begin(), want.end()), want.end());
  if (want.size() <= kFewHandles) {
    // A few are polled as cheaply, in one call instead of two.
    for (const int fd : watched_) ::epoll_ctl(set_, EPOLL_CTL_DEL, fd, nullptr);
    watched_.clear();
    return WaitForReadiness(handles, withStop, wait);
  }
  // Only what changed since the last wait is told to the set.
  std::vector<int> gone, added;
  std::set_difference(watched_.begin(), watched_.end(), want.begin(), want.end(),
                      std::back_inserter(gone));
  std::set_difference(want.begin(), want.end(), watched_.begin(), watched_.end(),
                      std::back_inserter(added));
  for (const int fd : gone) ::epoll_ctl(set_, EPOLL_CTL_DEL, fd, nullptr);
  for (const int fd : added) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(set_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      // A handle epoll cannot watch: this wait and the ones after it poll every handle.
      ::close(set_);
      set_ = -1;
      return WaitForReadiness(handles, withStop, wait);
    }
  }
  watched_ = std::move(want);

  std::vector<bool> ready(handles.size(), false);
  // The set's own descriptor is waited on with ppoll, whose time-out is exact to the
  // microsecond; the set then says which handles are ready.
  pollfd p{set_, POLLIN, 0};
  if (!PollFor(&p, 1, wait)) return ready;
  std::vector<epoll_event> events(std::max<std::size_t>(watched_.size(), 1));
  const int n = ::epoll_wait(set_, events.data(), static_cast<int>(events.size()), 0);
  for (int i = 0; i < n; ++i)
    for (std::size_t k = 0; k < handles.size(); ++k)
      if (handles[k] == events[static_cast<std::size_t>(i)].data.fd) ready[k] = true;
  return ready;
}

#else

Readiness::Readiness() = default;
Readiness::~Readiness() = default;

std::vector<bool> Readiness::Wait(const std::vector<std::intptr_t>& handles, bool withStop,
                                  std::chrono::microseconds wait) {
  return WaitForReadiness(handles, withStop, wait);
}

#endif

}  // namespace kelvane::cli
