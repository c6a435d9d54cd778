#pragma once
// What tells the window that the line is worth reading: bytes waiting, or the time a
// deferred read is due. On Linux one descriptor stands for both, an epoll set holding the
// line and a timer: waiting for a block's rest takes the line out of the set and arms the
// timer, which changes nothing in the event loop's own set of descriptors. (Switching a Qt
// notifier on and off makes the GLib event loop wake itself once more each time, and a
// QTimer keeps only milliseconds.) A read can also be deferred from when bytes come: a small
// thread of the watch's own waits for them, notes the time and arms the timer, so that the
// event loop wakes once for a block that comes in pieces instead of twice. Elsewhere the
// line is read as bytes come.

#include <QObject>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#ifdef __linux__
#include <mutex>
#include <thread>
#endif

class QSocketNotifier;
class QWinEventNotifier;

namespace kelvane {

class LineWatch final : public QObject {
  Q_OBJECT

 public:
  // `handle`: the line's ReadinessHandle (a descriptor; on Windows an event handle).
  explicit LineWatch(std::intptr_t handle, QObject* parent = nullptr);
  ~LineWatch() override;

  // nullopt: fire as bytes come. A delay: not before it has passed, then fire whether or not
  // bytes wait. Either ends a Pause.
  void At(std::optional<std::chrono::nanoseconds> delay);
  // Once bytes come (or the line hangs up), fire `delay` later, bytes or not; TakeBytesTime
  // then says when they came. Ends a Pause; At ends it. Where no thread waits for bytes,
  // the same as At(nullopt).
  void AfterBytes(std::chrono::nanoseconds delay);
  // When the bytes that started the last AfterBytes wait came, taken once; nullopt when
  // none has come since the last At or AfterBytes.
  std::optional<std::chrono::steady_clock::time_point> TakeBytesTime();
  // Fire for nothing until the next At or AfterBytes.
  void Pause();

 signals:
  void Fired();

 private:
#ifdef _WIN32
  std::unique_ptr<QWinEventNotifier> notifier_;
#else
  std::unique_ptr<QSocketNotifier> notifier_;
#endif
#ifdef __linux__
  void Fire();
  void WaitForBytes();  // the thread's loop
  void SetLineInSet(bool in);
  void ArmTimer(std::optional<std::chrono::nanoseconds> delay, int flags);
  int line_ = -1;
  int set_ = -1;    // the epoll set: the line while it is watched, and the timer
  int timer_ = -1;  // a timerfd on the monotonic clock
  bool lineInSet_ = false;
  // The thread's own epoll set: the line while AfterBytes waits for it, and quit_, an
  // eventfd that ends the thread. The mutex guards what the thread shares: the timer, the
  // line's place in bytesSet_, the delay and the time bytes came.
  std::mutex mutex_;
  std::thread waiter_;
  bool waiterTried_ = false;
  int bytesSet_ = -1;
  int quit_ = -1;
  bool lineInBytesSet_ = false;
  std::uint64_t bytesWait_ = 0;  // the number of the wait under way, bumped by At too
  bool timerArmed_ = false;
  std::chrono::nanoseconds afterBytes_{};
  std::optional<std::chrono::steady_clock::time_point> bytesCame_;
#endif
};

}  // namespace kelvane
