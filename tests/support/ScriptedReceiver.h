#pragma once
// A receiver played from a script, for driving an exchange through the fakes: it runs on
// every pump of the FakeView, waits for the bytes it expects the PC to write, delivers its
// own bytes split into reads as the script says, ticks the timer and presses Stop.
//
//   ScriptedReceiver rx(main, view, serial);
//   rx.Send({0x01}).Expect(header).Send({0x10}) ... ;
//   main.Start_Click();
//   rx.Settle();
//   EXPECT_TRUE(rx.Finished());
//   EXPECT_EQ(Hex(serial.written), Hex(rx.Expected()));
//
// A step that waits too long, or a mismatch, is reported as a test failure and Stop is
// pressed so that the exchange ends instead of hanging.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/Fakes.h"

namespace kelvane::test {

class ScriptedReceiver {
 public:
  ScriptedReceiver(Main& main, FakeView& view, FakeSerial& serial);
  ~ScriptedReceiver();

  // Waits until the PC has written exactly these bytes next (in any number of writes).
  ScriptedReceiver& Expect(const Bytes& bytes);
  // Delivers bytes as one read, or as reads of the given sizes.
  ScriptedReceiver& Send(const Bytes& bytes);
  ScriptedReceiver& Send(const Bytes& bytes, const std::vector<std::size_t>& reads);
  // Waits until the PC has read everything delivered so far.
  ScriptedReceiver& AwaitRead();
  // Each of these takes one pump of its own.
  ScriptedReceiver& Tick(int count = 1);  // timer ticks
  ScriptedReceiver& Stop();               // the Stop button
  ScriptedReceiver& Idle(int pumps);      // nothing happens for a while
  ScriptedReceiver& Do(std::function<void()> action);  // anything else, in a pump of its own

  // After the exchange has returned: checks the bytes of the steps still waiting to be
  // expected (what the PC wrote after its last pump).
  void Settle();

  bool Finished() const { return next_ == steps_.size() && !failed_; }
  bool Failed() const { return failed_; }
  const Bytes& Expected() const { return expected_; }

  // Pumps a waiting step may take before the script is given up, and idle pumps after the
  // end of the script before Stop is pressed.
  long waitLimit = 20000;
  long idleLimit = 2000;
  bool stalled = false;  // the exchange was still running long after the script ended

 private:
  struct Step {
    enum Kind { Expect, Send, AwaitRead, Pump } kind;
    Bytes bytes;
    std::vector<std::size_t> reads;
    std::function<void()> action;
  };
  void OnPump();
  bool RunStep(Step& step);  // true when done
  void Fail(const std::string& why);

  Main& main_;
  FakeView& view_;
  FakeSerial& serial_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::size_t cursor_ = 0;  // bytes of the PC's transcript checked so far
  Bytes expected_;
  long waited_ = 0;
  long idle_ = 0;
  bool failed_ = false;
};

}  // namespace kelvane::test
