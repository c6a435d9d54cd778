#pragma once
// A receiver played from a script on every pump of the FakeView: it waits for the bytes it
// expects the PC to write next, delivers its own bytes split into reads as told, ticks the
// timer and presses Stop. A mismatch or a step that waits too long fails the test and
// presses Stop, so that the exchange ends instead of hanging.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/Fakes.h"

namespace kelvane::test {

class ScriptedReceiver {
 public:
  ScriptedReceiver(Main& main, FakeView& view, FakeSerial& serial) : main_(main), view_(view), serial_(serial) {
    view_.onPump = [this] { OnPump(); };
  }
  ~ScriptedReceiver() { view_.onPump = nullptr; }

  // The PC writes exactly these bytes next, in any number of writes.
  ScriptedReceiver& Expect(const Bytes& b) {
    expected_.insert(expected_.end(), b.begin(), b.end());
    return Add({Step::Expect, b, {}, {}});
  }
  // Delivers bytes as one read, or as reads of the given sizes.
  ScriptedReceiver& Send(const Bytes& b, std::vector<std::size_t> reads = {}) {
    if (reads.empty()) reads = {b.size()};
    return Add({Step::Send, b, reads, {}});
  }
  ScriptedReceiver& AwaitRead() { return Add({Step::AwaitRead, {}, {}, {}}); }  // all delivered is read
  // Each of these takes a pump of its own.
  ScriptedReceiver& Do(std::function<void()> f) { return Add({Step::Pump, {}, {}, std::move(f)}); }
  ScriptedReceiver& Tick(int n = 1) { return Repeat(n, [this] { main_.Timer1_Timer(); }); }
  ScriptedReceiver& Stop() { return Do([this] { main_.ExitButton_Click(); }); }
  ScriptedReceiver& Idle(int n) { return Repeat(n, [] {}); }

  // After the exchange has returned: checks what the PC wrote after its last pump.
  void Settle() {
    for (; !failed_ && next_ < steps_.size() && steps_[next_].kind == Step::Expect; ++next_)
      if (!RunStep(steps_[next_])) return failed_ ? void() : Fail("the PC wrote nothing more");
  }
  bool Finished() const { return next_ == steps_.size() && !failed_; }
  const Bytes& Expected() const { return expected_; }

  long waitLimit = 20000;  // pumps a waiting step may take
  long idleLimit = 2000;   // pumps after the end of the script before Stop is pressed
  bool stalled = false;    // the exchange was still running long after the script ended

 private:
  struct Step {
    enum Kind { Expect, Send, AwaitRead, Pump } kind;
    Bytes bytes;
    std::vector<std::size_t> reads;
    std::function<void()> action;
  };
  ScriptedReceiver& Add(Step s) {
    steps_.push_back(std::move(s));
    return *this;
  }
  ScriptedReceiver& Repeat(int n, const std::function<void()>& f) {
    for (int i = 0; i < n; ++i) Do(f);
    return *this;
  }
  void Fail(const std::string& why) {
    ADD_FAILURE() << "receiver script, step " << next_ << ": " << why;
    failed_ = true;
    main_.ExitButton_Click();
  }
  bool RunStep(Step& s) {
    switch (s.kind) {
      case Step::Expect: {
        // Compares what has come so far, so that a wrong byte is reported where it is.
        const auto from = serial_.written.begin() + static_cast<std::ptrdiff_t>(cursor_);
        const std::size_t have = std::min(serial_.written.size() - cursor_, s.bytes.size());
        if (!std::equal(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(have), from)) {
          Fail("PC wrote " + Hex(Bytes(from, serial_.written.end())).substr(0, 120) + " where " +
               Hex(s.bytes).substr(0, 120) + " was expected");
          return false;
        }
        if (have < s.bytes.size()) return false;
        cursor_ += s.bytes.size();
        return true;
      }
      case Step::Send:
        serial_.Deliver(s.bytes);
        serial_.chunks.insert(serial_.chunks.end(), s.reads.begin(), s.reads.end());
        return true;
      case Step::AwaitRead: return serial_.rx.empty();
      case Step::Pump: s.action(); return true;
    }
    return true;
  }
  void OnPump() {
    if (failed_) return;
    if (next_ == steps_.size()) {
      if (++idle_ == idleLimit) stalled = true, main_.ExitButton_Click();
      return;
    }
    while (next_ < steps_.size()) {
      Step& s = steps_[next_];
      if (!RunStep(s)) {
        if (!failed_ && ++waited_ > waitLimit) Fail("still waiting after " + std::to_string(waitLimit) + " pumps");
        return;
      }
      waited_ = 0;
      if (steps_[next_++].kind == Step::Pump) return;
    }
  }

  Main& main_;
  FakeView& view_;
  FakeSerial& serial_;
  std::vector<Step> steps_;
  std::size_t next_ = 0, cursor_ = 0;  // cursor_: bytes of the PC's transcript checked so far
  Bytes expected_;
  long waited_ = 0, idle_ = 0;
  bool failed_ = false;
};

}  // namespace kelvane::test
