#include "app/qt/LineWatch.h"

#ifdef _WIN32
#include <QWinEventNotifier>
#else
#include <QSocketNotifier>
#endif

#ifdef __linux__
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
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
  if (waiter_.joinable()) {
    const std::uint64_t one = 1;
    (void)!::write(quit_, &one, sizeof one);
    waiter_.join();
  }
  notifier_.reset();
  for (const int fd : {set_, timer_, bytesSet_, quit_})
    if (fd >= 0) ::close(fd);
}

void LineWatch::SetLineInSet(bool in) {
  if (in == lineInSet_) return;
  // Out of the set rather than left in it with no events: a hang-up is reported always.
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = line_;
  if (::epoll_ctl(set_, in ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, line_, &ev) == 0) lineInSet_ = in;
}

void LineWatch::ArmTimer(std::optional<std::chrono::nanoseconds> delay, int flags) {
  // Called with mutex_ held. At least a nanosecond: a zero time disarms the timer (and drops
  // a count not read).
  if (!delay && !timerArmed_) return;
  const auto ns = delay ? std::max(delay->count(), std::int64_t{1}) : std::int64_t{0};
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  timerArmed_ = ::timerfd_settime(timer_, flags, &when, nullptr) == 0 && delay;
}

void LineWatch::At(std::optional<std::chrono::nanoseconds> delay) {
  notifier_->setEnabled(true);  // a no-op unless paused
  if (set_ < 0) return;
  SetLineInSet(!delay);
  const std::lock_guard lock(mutex_);
  bytesCame_.reset();
  ++bytesWait_;  // a wake already taken for the last wait is dropped
  if (lineInBytesSet_ && ::epoll_ctl(bytesSet_, EPOLL_CTL_DEL, line_, nullptr) == 0)
    lineInBytesSet_ = false;
  ArmTimer(delay, 0);
}

void LineWatch::AfterBytes(std::chrono::nanoseconds delay) {
  if (set_ < 0) return At(std::nullopt);
  if (!waiterTried_) {
    // The thread is started by the first wait for bytes, once: a download never needs it.
    waiterTried_ = true;
    bytesSet_ = ::epoll_create1(EPOLL_CLOEXEC);
    quit_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;  // the line's waits are numbered from 1
    if (bytesSet_ >= 0 && quit_ >= 0 && ::epoll_ctl(bytesSet_, EPOLL_CTL_ADD, quit_, &ev) == 0) {
      try {
        waiter_ = std::thread(&LineWatch::WaitForBytes, this);
      } catch (const std::system_error&) {}
    }
  }
  if (!waiter_.joinable()) return At(std::nullopt);
  notifier_->setEnabled(true);
  SetLineInSet(false);
  const std::lock_guard lock(mutex_);
  bytesCame_.reset();
  ArmTimer(std::nullopt, 0);
  afterBytes_ = delay;
  // One wake per wait (the thread leaves the line in its set, and the next wait enables it
  // again), and each wait has its number, so that the thread drops a wake it took for a wait
  // ended or begun anew since.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = ++bytesWait_;
  lineInBytesSet_ =
      ::epoll_ctl(bytesSet_, lineInBytesSet_ ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, line_, &ev) == 0;
  // A line the thread cannot wait on is watched here, as bytes come.
  if (!lineInBytesSet_) SetLineInSet(true);
}

void LineWatch::WaitForBytes() {
  for (;;) {
    epoll_event ev[2];
    const int n = ::epoll_wait(bytesSet_, ev, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    const auto came = std::chrono::steady_clock::now();
    std::uint64_t wait = 0;
    for (int i = 0; i < n; ++i) {
      if (ev[i].data.u64 == 0) return;
      wait = ev[i].data.u64;
    }
    const std::lock_guard lock(mutex_);
    // A wait that At or AfterBytes has ended or begun anew meanwhile: nothing to do. The
    // wait's one-shot entry brings no second wake until it is enabled again.
    if (wait != bytesWait_) continue;
    bytesCame_ = came;
    const auto due = came.time_since_epoch() + afterBytes_;
    ArmTimer(std::chrono::duration_cast<std::chrono::nanoseconds>(due), TFD_TIMER_ABSTIME);
  }
}

std::optional<std::chrono::steady_clock::time_point> LineWatch::TakeBytesTime() {
  if (set_ < 0) return std::nullopt;
  const std::lock_guard lock(mutex_);
  return std::exchange(bytesCame_, std::nullopt);
}

void LineWatch::Pause() { notifier_->setEnabled(false); }  // the next At sets the rest anew

void LineWatch::Fire() {
  {
    // The timer's count is taken, or the set would stay readable.
    const std::lock_guard lock(mutex_);
    std::uint64_t expirations = 0;
    if (timerArmed_ && ::read(timer_, &expirations, sizeof expirations) == sizeof expirations)
      timerArmed_ = false;
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

void LineWatch::AfterBytes(std::chrono::nanoseconds) { At(std::nullopt); }

std::optional<std::chrono::steady_clock::time_point> LineWatch::TakeBytesTime() {
  return std::nullopt;
}

void LineWatch::Pause() { notifier_->setEnabled(false); }

#endif

}  // namespace kelvane
