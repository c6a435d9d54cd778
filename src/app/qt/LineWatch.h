#pragma once
// What tells the window that the line is worth reading: bytes waiting, or the time a
// deferred read is due. On Linux one descriptor stands for both, an epoll set holding the
// line and a timer: waiting for a block's rest takes the line out of the set and arms the
// timer, which changes nothing in the event loop's own set of descriptors. (Switching a Qt
// notifier on and off makes the GLib event loop wake itself once more each time, and a
// QTimer keeps only milliseconds.) Elsewhere the line is read as bytes come.

#include <QObject>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

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
  // Fire for nothing until the next At.
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
  int line_ = -1;
  int set_ = -1;    // the epoll set: the line while it is watched, and the timer
  int timer_ = -1;  // a timerfd on the monotonic clock
  bool lineInSet_ = false;
  bool timerArmed_ = false;
#endif
};

}  // namespace kelvane
