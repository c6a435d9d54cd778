#include "app/qt/LineWatch.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <memory>

#include "QtTestApp.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

// Runs the event loop until `fires` reaches `want` or `limit` has passed; the time it took.
std::chrono::milliseconds RunUntil(const int& fires, int want, std::chrono::milliseconds limit) {
  QElapsedTimer t;
  t.start();
  while (fires < want && t.elapsed() < limit.count())
    TestApp().processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  return std::chrono::milliseconds(t.elapsed());
}

// A pipe stands in for the line: what is written to one end waits at the other. Each firing
// takes what waits, as the window does.
struct PipeLine {
  PipeLine() {
    TestApp();
    if (::pipe2(ends, O_NONBLOCK) != 0) ADD_FAILURE() << "no pipe";
    watch = std::make_unique<LineWatch>(ends[0]);
    QObject::connect(watch.get(), &LineWatch::Fired, [this] {
      ++fires;
      for (char b[16]; ::read(ends[0], b, sizeof b) > 0;) {}
    });
  }
  ~PipeLine() {
    watch.reset();
    for (const int end : ends)
      if (end >= 0) ::close(end);
  }
  bool Send() {
    const char byte = 1;
    return ::write(ends[1], &byte, 1) == 1;
  }
  void HangUp() {
    ::close(ends[1]);
    ends[1] = -1;
  }
  int ends[2] = {-1, -1};
  int fires = 0;
  std::unique_ptr<LineWatch> watch;
};

TEST(LineWatch, FiresForBytesOrOnlyOnceTheDeferredReadIsDue) {
  PipeLine p;
  LineWatch& watch = *p.watch;
  int& fires = p.fires;

  // Watched as bytes come.
  ASSERT_TRUE(p.Send());
  RunUntil(fires, 1, 2000ms);
  ASSERT_EQ(fires, 1);

  // Deferred: bytes that come meanwhile do not fire, the time does, bytes or not.
  for (const bool bytes : {true, false}) {
    fires = 0;
    watch.At(60ms);
    if (bytes) {
      ASSERT_TRUE(p.Send());
    }
    RunUntil(fires, 1, 30ms);
    EXPECT_EQ(fires, 0) << "fired before it was due, bytes waiting: " << bytes;
    const auto took = RunUntil(fires, 1, 2000ms);
    EXPECT_EQ(fires, 1);
    EXPECT_GE(took, 25ms);
  }

  // A deferral cut short by watching the line again: its time no longer fires.
  fires = 0;
  watch.At(20ms);
  watch.At(std::nullopt);
  RunUntil(fires, 1, 60ms);
  EXPECT_EQ(fires, 0);

  // Paused, and deferred on a line that hung up: nothing fires, nothing spins.
  p.HangUp();
  watch.Pause();
  RunUntil(fires, 1, 30ms);
  EXPECT_EQ(fires, 0);
  watch.At(40ms);
  RunUntil(fires, 1, 20ms);
  EXPECT_EQ(fires, 0) << "a hang-up woke a deferred watch";
  RunUntil(fires, 1, 2000ms);
  EXPECT_EQ(fires, 1);
}

// Waiting for bytes: nothing fires before bytes come and the delay has passed from them, and
// the time they came is told once. At ends the wait; a hang-up ends it too, and fires once.
TEST(LineWatch, AfterBytesFiresTheDelayAfterBytesCame) {
  PipeLine p;
  LineWatch& watch = *p.watch;
  int& fires = p.fires;

  watch.AfterBytes(50ms);
  RunUntil(fires, 1, 30ms);
  EXPECT_EQ(fires, 0) << "fired with no bytes";
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(p.Send());
  const auto took = RunUntil(fires, 1, 2000ms);
  EXPECT_EQ(fires, 1);
  EXPECT_GE(took, 45ms);
  const auto came = watch.TakeBytesTime();
  ASSERT_TRUE(came);
  EXPECT_GE(*came, before);
  EXPECT_LT(*came, before + 40ms);
  EXPECT_FALSE(watch.TakeBytesTime()) << "told twice";

  // Ended by a deferral: bytes no longer start the wait.
  fires = 0;
  watch.AfterBytes(10ms);
  watch.At(150ms);
  ASSERT_TRUE(p.Send());
  RunUntil(fires, 1, 80ms);
  EXPECT_EQ(fires, 0) << "the ended wait fired";
  RunUntil(fires, 1, 2000ms);
  EXPECT_EQ(fires, 1);
  EXPECT_FALSE(watch.TakeBytesTime());

  // A hang-up: fires once, not for ever.
  fires = 0;
  watch.AfterBytes(20ms);
  p.HangUp();
  RunUntil(fires, 2, 300ms);
  EXPECT_EQ(fires, 1);
}

}  // namespace
}  // namespace kelvane::test
#endif
