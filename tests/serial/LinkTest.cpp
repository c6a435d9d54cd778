#include "serial/Link.h"
#include "serial/PortMap.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

struct LinkRig {
  FakeView view;
  FakeSerial serial;
  bool timedOut = false;
  Link link{serial, view, timedOut};
};

TEST(Link, FlushReadsOnceThenDropsEverythingWhateverInputLenStands) {
  for (int inputLen : {0, 1}) {
    LinkRig r;
    r.serial.SetInputLen(inputLen);
    r.serial.Deliver(B({1, 2, 3}));
    r.link.Flush();
    EXPECT_TRUE(r.serial.rx.empty()) << inputLen;
    EXPECT_EQ(r.serial.inputCalls, 1) << inputLen;
    EXPECT_EQ(r.serial.inDrops, 1) << inputLen;
  }
}

// A line that gives back the PC's own bytes is told from a receiver that answers.
TEST(Link, LineThatGivesBackWhatIsSentIsToldFromAReceiver) {
  struct Case {
    const char* name;
    std::vector<std::pair<Bytes, Bytes>> rounds;  // sent, then received in that poll
    bool echoing;
  };
  const Case cases[] = {
      {"loopback on the upload's ready byte",
       {{B({1}), B({1})}, {B({1}), B({1})}, {B({1}), B({1})}},
       true},
      {"header sent, read back in pieces",
       {{B({8, 0x55, 0xAA}), B({8})}, {{}, B({0x55, 0xAA})}},
       true},
      {"only twice", {{B({1}), B({1})}, {B({1}), B({1})}}, false},
      {"a receiver's answers",
       {{B({1}), B({8, 0x55})}, {B({0x10}), B({2, 0, 0xFF})}, {B({0x10}), B({3})}},
       false},
      {"an answer among the echoes",
       {{B({1}), B({1})}, {B({1}), B({1, 8})}, {B({1}), B({1})}},
       false},
      {"bytes that were never sent", {{{}, B({1, 1, 1, 1})}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinkRig r;
    for (const auto& [sent, received] : c.rounds) {
      if (!sent.empty()) r.link.Send(sent);
      r.serial.Deliver(received);
      r.link.ChunkPoll();
    }
    EXPECT_EQ(r.link.Echoing(), c.echoing);
  }
  LinkRig r;  // the upload reads a byte at a time; a flush forgets what was sent before
  r.serial.SetInputLen(1);
  for (int i = 0; i < 3; ++i) r.link.Send(0x01), r.serial.Deliver(B({1})), r.link.BytePoll();
  EXPECT_TRUE(r.link.Echoing());
  r.link.Flush();
  EXPECT_FALSE(r.link.Echoing());
}

TEST(Link, ChunkPollReplacesTheLatestChunkAndKeepsItOnAnEmptyRead) {
  LinkRig r;
  r.serial.Deliver(B({0x55, 0x02}));
  EXPECT_EQ(r.link.ChunkPoll(), B({0x55, 0x02}));
  EXPECT_TRUE(r.link.ChunkPoll().empty());
  EXPECT_TRUE(r.link.LatestHas(0x02)) << "an empty read keeps the latest chunk";
  r.serial.Deliver(B({0x10}));
  r.link.ChunkPoll();
  EXPECT_EQ(r.link.Latest(), B({0x10}));  // replaced, not appended
  EXPECT_FALSE(r.link.LatestHas(0x02));
}

TEST(Link, BytePollTakesOneByteAndThePumpWaitsOnlyWhenNothingIsBuffered) {
  LinkRig r;
  r.serial.SetInputLen(1);
  r.serial.Deliver(B({0x09, 0x08}));
  EXPECT_EQ(r.link.BytePoll(), 0x09);
  EXPECT_EQ(r.link.BytePoll(), 0x08);
  EXPECT_EQ(r.link.BytePoll(), std::nullopt);
  EXPECT_EQ(r.serial.inputCalls, 2) << "nothing waits: no read";
  EXPECT_EQ(r.serial.countCalls, 3) << "the count is asked once a poll";
  EXPECT_EQ(r.view.waits,
            (std::vector<std::chrono::milliseconds>{Link::kIdleWait, Link::kIdleWait}))
      << "the second poll takes a byte the first saw waiting, without a pump";
}

TEST(Link, WhileBytesKeepWaitingTheBytePollPumpsOnceInKPollsPerPumpWithoutWaiting) {
  LinkRig r;
  r.serial.SetInputLen(1);
  const int n = 2 * Link::kPollsPerPump + 10;
  r.serial.Deliver(Pattern(static_cast<std::size_t>(n)));
  for (int i = 0; i < n; ++i) ASSERT_TRUE(r.link.BytePoll()) << i;
  EXPECT_EQ(r.link.BytePoll(), std::nullopt);
  EXPECT_EQ(r.view.waits,
            (std::vector<std::chrono::milliseconds>{Link::kIdleWait, {}, {}, Link::kIdleWait}));
  EXPECT_EQ(r.serial.countCalls, n + 1);
}

// The window's handlers run only inside a pump: an event that comes while the line floods
// the loop with bytes is handled within kPollsPerPump polls.
TEST(Link, StopAndTheTickReachAByteLoopOnAFloodedLineWithinKPollsPerPump) {
  struct Case {
    const char* name;
    void (Main::*handler)();
    bool Main::*flag;
  };
  const Case cases[] = {
      {.name = "Stop", .handler = &Main::ExitButton_Click, .flag = &Main::StopFlag},
      {.name = "tick", .handler = &Main::Timer1_Timer, .flag = &Main::TimedOut}};
  for (const auto& c : cases) {
    for (const int comesAt : {0, 1, 300, 1000}) {  // polls before the event comes
      SCOPED_TRACE(std::string(c.name) + " after " + std::to_string(comesAt) + " polls");
      Window w;
      w.serial.SetInputLen(1);
      bool pending = false;
      w.view.onPump = [&] {
        w.serial.Deliver(
            Bytes(2 * Link::kPollsPerPump, 0x55));  // more than is taken until the next pump
        if (pending) (w.main.*c.handler)(), pending = false;
      };
      w.serial.Deliver(Bytes(Link::kPollsPerPump, 0x55));
      int polls = 0;
      for (; !(w.main.*c.flag) && polls < 10000; ++polls) {
        pending = pending || polls == comesAt;
        ASSERT_TRUE(w.main.SerialLink().BytePoll()) << "the line always has a byte waiting";
      }
      EXPECT_LE(polls - comesAt, Link::kPollsPerPump);
      EXPECT_GT(polls, comesAt);
      EXPECT_EQ(std::count(w.view.waits.begin(), w.view.waits.end(), Link::kIdleWait), 1)
          << "only the first pump waits";
    }
  }
}

TEST(PortMap, AdaptersFirstNumbersAsNumbers) {
  EXPECT_EQ(
      SortDevices({"/dev/ttyS1", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2", "/dev/ttyACM0",
                   "/dev/ttyS10", "/dev/ttyS2", "/dev/ttyUSB2", "/dev/ttyS02", "/dev/ttyS"}),
      (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyS",
                                "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS02", "/dev/ttyS2",
                                "/dev/ttyS10"}));
}

}  // namespace
}  // namespace kelvane::test
