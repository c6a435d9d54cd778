#include "app/qt/LineWatch.h"

#ifdef _WIN32
#include <QWinEventNotifier>
#else
#include <QSocketNotifier>
#endif

#ifdef __linux__
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#endif

namespace kelvane {

#ifdef __linux__

LineWatch::LineWatch(std::intptr_t handle, QObject* parent)
    : QObject(parent),
      line_(static_cast<int>(handle)),
      set_(::epoll_create1(EPOLL_CLOEXEC)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = timer_;
  if (set_ < 0 || timer_ < 0 || ::epoll_ctl(set_, EPOLL_CTL_ADD, timer_, &ev) != 0) {
    // No set to be had: the line itself is watched, and read as bytes come.
    if (set_ >= 0) ::close(set_);
    if (timer_ >= 0) ::close(timer_);
    set_ = timer_ = -1;
    notifier_ =
        std::make_unique<QSocketNotifier>(static_cast<qintptr>(handle), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LineWatch::Fired);
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(set_), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &LineWatch::Fire);
  At(std::nullopt);
}

LineWatch::~LineWatch() {
  notifier_.reset();
  if (set_ >= 0) ::close(set_);
  if (timer_ >= 0) ::close(timer_);
}

void LineWatch::At(std::optional<std::chrono::nanoseconds> delay) {
  notifier_->setEnabled(true);  // a no-op unless paused
  if (set_ < 0) return;
  if (!delay != lineInSet_) {
    // Out of the set rather than left in it with no events: a hang-up is reported always.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = line_;
    lineInSet_ = ::epoll_ctl(set_, delay ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, line_, &ev) == 0
                     ? !delay
                     : lineInSet_;
  }
  if (!delay && !timerArmed_) return;
  // At least a nanosecond: a zero time disarms the timer (and drops a count not read).
  const auto ns = delay ? std::max(delay->count(), std::int64_t{1}) : std::int64_t{0};
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  timerArmed_ = ::timerfd_settime(timer_, 0, &when, nullptr) == 0 && delay;
}

void LineWatch::Pause() { notifier_->setEnabled(false); }  // the next At sets the rest anew

void LineWatch::Fire() {
  // The timer's count is taken, or the set would stay readable.
  if (timerArmed_) {
    std::uint64_t expirations = 0;
    if (::read(timer_, &expirations, sizeof expirations) == sizeof expirations) timerArmed_ = false;
  }
  emit Fired();
}

#else

LineWatch::LineWatch(std::intptr_t handle, QObject* parent) : QObject(parent) {
#ifdef _WIN32
  notifier_ = std::make_unique<QWinEventNotifier>(reinterpret_cast<Qt::HANDLE>(handle));
  connect(notifier_.get(), &QWinEventNotifier::activated, this, &LineWatch::Fired);
#else
  notifier_ =
      std::make_unique<QSocketNotifier>(static_cast<qintptr>(handle), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &LineWatch::Fired);
#endif
}

LineWatch::~LineWatch() = default;

void LineWatch::At(std::optional<std::chrono::nanoseconds>) { notifier_->setEnabled(true); }

void LineWatch::Pause() { notifier_->setEnabled(false); }

#endif

}  // namespace kelvane
