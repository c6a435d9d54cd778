#include "serial/Link.h"

#include <gtest/gtest.h>

#include "support/Fakes.h"

namespace kelvane::test {
namespace {

struct LinkRig {
  FakeView view;
  FakeSerial serial;
  bool timedOut = false;
  Link link{serial, view, timedOut};
};

TEST(Link, FlushDropsEverythingWhateverInputLenStands) {
  for (int inputLen : {0, 1}) {
    LinkRig r;
    r.serial.SetInputLen(inputLen);
    r.serial.Deliver(B({1, 2, 3}));
    r.link.Flush();
    EXPECT_TRUE(r.serial.rx.empty()) << inputLen;
    EXPECT_EQ(r.serial.inputCalls, 1) << inputLen;  // one read, then the drop
    EXPECT_EQ(r.serial.inDrops, 1) << inputLen;
    EXPECT_TRUE(r.serial.written.empty());
  }
}

TEST(Link, ChunkPollReplacesTheLatestChunkAndKeepsItOnAnEmptyRead) {
  LinkRig r;
  r.serial.Deliver(B({0x55, 0x02}));
  EXPECT_EQ(r.link.ChunkPoll(), B({0x55, 0x02}));
  EXPECT_TRUE(r.link.LatestHas(0x02));

  EXPECT_TRUE(r.link.ChunkPoll().empty());  // nothing came
  EXPECT_EQ(r.link.Latest(), B({0x55, 0x02}));

  r.serial.Deliver(B({0x10}));
  r.link.ChunkPoll();
  EXPECT_EQ(r.link.Latest(), B({0x10}));  // replaced, not appended: the earlier 02 is gone
  EXPECT_FALSE(r.link.LatestHas(0x02));
  r.link.ClearLatest();
  EXPECT_TRUE(r.link.Latest().empty());
}

TEST(Link, BytePollTakesOneByteAtATimeAndReadsNothingWhenNothingWaits) {
  LinkRig r;
  r.serial.SetInputLen(1);
  r.serial.Deliver(B({0x09, 0x08}));
  EXPECT_EQ(r.link.BytePoll(), 0x09);
  EXPECT_EQ(r.link.BytePoll(), 0x08);
  const int reads = r.serial.inputCalls;
  EXPECT_EQ(r.link.BytePoll(), std::nullopt);
  EXPECT_EQ(r.serial.inputCalls, reads);
  EXPECT_EQ(r.view.pumps, 3);  // one pump per poll
}

TEST(Link, TicksDuringThePumpSetAFlagNotACount) {
  LinkRig r;
  r.view.onPump = [&] { r.timedOut = true; };
  r.link.BytePoll();
  r.link.BytePoll();
  EXPECT_TRUE(r.link.TimedOut());
  r.view.onPump = nullptr;
  r.link.ClearTimeOut();  // one clear undoes any number of ticks
  EXPECT_FALSE(r.link.TimedOut());
  r.link.BytePoll();
  EXPECT_FALSE(r.link.TimedOut());  // the flag changes only in the pump
}

TEST(Link, ThePumpWaitsOnlyWhenNothingIsBuffered) {
  LinkRig r;
  r.link.ChunkPoll();
  EXPECT_EQ(r.view.waits.back(), Link::kIdleWait);
  r.serial.SetInputLen(1);
  r.serial.Deliver(B({1, 2}));
  r.link.BytePoll();
  EXPECT_EQ(r.view.waits.back(), std::chrono::milliseconds{0});  // a byte is still waiting
  r.link.BytePoll();
  EXPECT_EQ(r.view.waits.back(), std::chrono::milliseconds{0});
  r.link.BytePoll();
  EXPECT_EQ(r.view.waits.back(), Link::kIdleWait);
  r.serial.lost = true;  // a lost line brings nothing more: no reason to wait for it
  r.link.ChunkPoll();
  EXPECT_EQ(r.view.waits.back(), std::chrono::milliseconds{0});
}

TEST(Link, SendWritesControlBytesOnTheirOwnAndRunsWhole) {
  LinkRig r;
  r.link.Send(0x08);
  const Bytes run = B({0x02, 0x00, 0xFF});
  r.link.Send(run);
  ASSERT_EQ(r.serial.writes.size(), 2u);
  EXPECT_EQ(r.serial.writes[0], B({0x08}));
  EXPECT_EQ(r.serial.writes[1], run);
}

}  // namespace
}  // namespace kelvane::test
