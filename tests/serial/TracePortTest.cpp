#include "serial/TracePort.h"

#include <gtest/gtest.h>

#include "support/Fakes.h"
#include "support/MemoryFile.h"
#include "support/Platform.h"

namespace kelvane::test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

struct TraceRig {
  FakeSerial serial;
  FakeClock clock;
  MemoryFile sink;
  TracePort trace{serial, sink.file, clock};
};

TEST(TracePort, WritesAndReadsOneLineEachInOrderWithTimeDirectionCountAndBytes) {
  TraceRig r;
  r.trace.SetPortOpen(true);
  r.serial.Deliver(B({0x01}));
  r.clock.now += microseconds(1500);
  EXPECT_EQ(r.trace.Input(), B({0x01}));
  EXPECT_EQ(r.trace.Input(), Bytes{});  // an empty poll leaves no line
  r.clock.now += microseconds(250);
  r.trace.Output(0x08);
  r.trace.Output(B({0x55, 0xAA, 0x55, 0xAA}));
  r.clock.now += milliseconds(61);
  r.serial.Deliver(B({0x10, 0x00, 0xFF}));
  r.serial.SetInputLen(1);
  EXPECT_EQ(r.trace.Input(), B({0x10}));
  r.trace.SetInBufferCount(0);
  r.trace.SetPortOpen(false);

  EXPECT_EQ(r.sink.Text(),
            "     0.000000   #  port opened, 115200,n,8,1\n"
            "     0.001500  in     1  01\n"
            "     0.001750 out     1  08\n"
            "     0.001750 out     4  55 AA 55 AA\n"
            "     0.062750  in     1  10\n"
            "     0.062750   #  dropped 2 bytes received and not read\n"
            "     0.062750   #  port closed\n");
  // The bytes themselves pass unchanged.
  EXPECT_EQ(r.serial.written, B({0x08, 0x55, 0xAA, 0x55, 0xAA}));
  EXPECT_EQ(r.serial.inDrops, 1);
}

TEST(TracePort, CollectsLinesAndWritesThemWhenOldLargeOrClosed) {
  KELVANE_SKIP_ON_WINDOWS("it reads the size of a memory stream");
  TraceRig r;
  r.trace.Output(0x02);
  EXPECT_EQ(r.sink.size, 0u);  // held in memory
  r.clock.now += TracePort::kFlushAge;
  r.trace.Output(0x03);
  EXPECT_EQ(r.sink.Text(), "     0.000000 out     1  02\n     1.000000 out     1  03\n");

  const std::size_t flushed = r.sink.size;
  const Bytes block(1029, 0xAB);  // a line of about 3 kB
  for (int i = 0; i < 20; ++i) r.trace.Output(block);
  EXPECT_EQ(r.sink.size, flushed);  // 60 kB are still held
  for (int i = 0; i < 2; ++i) r.trace.Output(block);
  EXPECT_GT(r.sink.size, flushed);  // 64 kB went out

  r.trace.Output(0x05);
  r.clock.now += TracePort::kFlushAge;
  const std::size_t beforeIdle = r.sink.size;
  EXPECT_EQ(r.trace.Input(), Bytes{});  // a poll of a quiet line writes out what waits
  EXPECT_GT(r.sink.size, beforeIdle);

  r.trace.SetPortOpen(true);
  r.trace.SetPortOpen(false);  // closing writes everything out
  EXPECT_TRUE(
      r.sink.Text().ends_with("   #  port opened, 115200,n,8,1\n     2.000000   #  port closed\n"));
}

TEST(TracePort, NotesQueuedOutputItDropsAFailedOpenAndAFailingSink) {
  TraceRig r;
  r.serial.failOpen = true;
  EXPECT_FALSE(r.trace.SetPortOpen(true));
  r.serial.outQueued = 7;
  r.trace.SetOutBufferCount(0);
  r.trace.SetOutBufferCount(0);  // nothing left: no line
  r.trace.Flush();
  EXPECT_EQ(r.sink.Text(),
            "     0.000000   #  port did not open: COM0: no such device\n"
            "     0.000000   #  dropped 7 bytes queued and not yet sent\n");

  // A sink that fails is reported, and the line goes on.
  std::FILE* readOnly = std::fopen("/dev/null", "r");
  ASSERT_NE(readOnly, nullptr);
  {
    TracePort trace(r.serial, readOnly, r.clock);
    trace.Output(0x01);
    EXPECT_FALSE(trace.Flush());
    EXPECT_TRUE(trace.Failed());
    trace.Output(0x02);
  }
  std::fclose(readOnly);
  EXPECT_EQ(r.serial.written, B({0x01, 0x02}));
}

}  // namespace
}  // namespace kelvane::test
