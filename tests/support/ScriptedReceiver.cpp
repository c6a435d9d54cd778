#include "support/ScriptedReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kelvane::test {

ScriptedReceiver::ScriptedReceiver(Main& main, FakeView& view, FakeSerial& serial)
    : main_(main), view_(view), serial_(serial) {
  view_.onPump = [this] { OnPump(); };
}

ScriptedReceiver::~ScriptedReceiver() { view_.onPump = nullptr; }

ScriptedReceiver& ScriptedReceiver::Expect(const Bytes& bytes) {
  steps_.push_back({Step::Expect, bytes, {}, {}});
  expected_.insert(expected_.end(), bytes.begin(), bytes.end());
  return *this;
}

ScriptedReceiver& ScriptedReceiver::Send(const Bytes& bytes) { return Send(bytes, {bytes.size()}); }

ScriptedReceiver& ScriptedReceiver::Send(const Bytes& bytes, const std::vector<std::size_t>& reads) {
  steps_.push_back({Step::Send, bytes, reads, {}});
  return *this;
}

ScriptedReceiver& ScriptedReceiver::AwaitRead() {
  steps_.push_back({Step::AwaitRead, {}, {}, {}});
  return *this;
}

ScriptedReceiver& ScriptedReceiver::Tick(int count) {
  for (int i = 0; i < count; ++i) steps_.push_back({Step::Pump, {}, {}, [this] { main_.Timer1_Timer(); }});
  return *this;
}

ScriptedReceiver& ScriptedReceiver::Stop() {
  steps_.push_back({Step::Pump, {}, {}, [this] { main_.ExitButton_Click(); }});
  return *this;
}

ScriptedReceiver& ScriptedReceiver::Idle(int pumps) {
  for (int i = 0; i < pumps; ++i) steps_.push_back({Step::Pump, {}, {}, [] {}});
  return *this;
}

ScriptedReceiver& ScriptedReceiver::Do(std::function<void()> action) {
  steps_.push_back({Step::Pump, {}, {}, std::move(action)});
  return *this;
}

void ScriptedReceiver::Fail(const std::string& why) {
  ADD_FAILURE() << "receiver script, step " << next_ << ": " << why;
  failed_ = true;
  main_.ExitButton_Click();
}

bool ScriptedReceiver::RunStep(Step& step) {
  switch (step.kind) {
    case Step::Expect: {
      const auto& w = serial_.written;
      // Compare what has come so far, so that a wrong byte is reported where it is.
      const std::size_t have = std::min(w.size() - cursor_, step.bytes.size());
      if (!std::equal(step.bytes.begin(), step.bytes.begin() + static_cast<std::ptrdiff_t>(have),
                      w.begin() + static_cast<std::ptrdiff_t>(cursor_))) {
        Fail("PC wrote " + Hex(Bytes(w.begin() + static_cast<std::ptrdiff_t>(cursor_), w.end())).substr(0, 120) +
             " where " + Hex(step.bytes).substr(0, 120) + " was expected");
        return false;
      }
      if (have < step.bytes.size()) return false;
      cursor_ += step.bytes.size();
      return true;
    }
    case Step::Send:
      serial_.Deliver(step.bytes);
      for (std::size_t n : step.reads) {
        Bytes piece(n, 0);
        serial_.chunks.push_back(piece);
      }
      return true;
    case Step::AwaitRead:
      return serial_.rx.empty();
    case Step::Pump:
      step.action();
      return true;
  }
  return true;
}

void ScriptedReceiver::Settle() {
  while (!failed_ && next_ < steps_.size() && steps_[next_].kind == Step::Expect) {
    if (!RunStep(steps_[next_])) {
      if (!failed_) Fail("the PC wrote nothing more");
      return;
    }
    ++next_;
  }
}

void ScriptedReceiver::OnPump() {
  if (failed_) return;
  if (next_ == steps_.size()) {
    if (++idle_ == idleLimit) {
      stalled = true;
      main_.ExitButton_Click();
    }
    return;
  }
  while (next_ < steps_.size()) {
    Step& step = steps_[next_];
    const bool consumesPump = step.kind == Step::Pump;
    if (!RunStep(step)) {
      if (failed_) return;
      if (++waited_ > waitLimit) Fail("still waiting after " + std::to_string(waitLimit) + " pumps");
      return;
    }
    waited_ = 0;
    ++next_;
    if (consumesPump) return;
  }
}

}  // namespace kelvane::test
