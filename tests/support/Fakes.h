#pragma once
// Fakes of the platform interfaces: a view that remembers every control and answers from
// queues, a serial object with scripted input and a transcript, settings and a manual clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/Main.h"

namespace kelvane::test {

struct ShownMessage {
  std::string text, title;
  Buttons buttons;
  Icon icon;
  std::string explanation = {};
};

class FakeView : public MainView {
 public:
  FakeView() {
    for (int c = static_cast<int>(Control::PortFrame); c <= static_cast<int>(Control::Status); ++c)
      enabled[static_cast<Control>(c)] = true;
    enabled[Control::Browse] = enabled[Control::Start] = enabled[Control::ExitButton] = false;
    value[Control::ComPort1] = value[Control::DownDot] = value[Control::ProgramDot] = true;
    caption[Control::portOpen] = "Port Close";
  }
  void SetEnabled(Control c, bool e) override { enabled[c] = e; }
  bool Enabled(Control c) const override { return enabled.at(c); }
  bool Value(Control c) const override { return value.count(c) && value.at(c); }
  void SetValue(Control c, bool v) override {  // selecting an option button clears its group
    using G = std::pair<Control, Control>;
    for (auto [lo, hi] :
         {G{Control::ComPort1, Control::ComPort8}, G{Control::DownDot, Control::UpDot},
          G{Control::ProgramDot, Control::TemuDot}})
      for (int o = static_cast<int>(lo); v && c >= lo && c <= hi && o <= static_cast<int>(hi); ++o)
        value[static_cast<Control>(o)] = false;
    value[c] = v;
  }
  void SetText(Control c, const std::string& t) override { text[c] = t; }
  void SetCaption(Control c, const std::string& t) override { caption[c] = t; }
  void SetProgressMax(int) override {}
  void SetProgressValue(float v) override { progress = v; }
  void ShowTransferProgress(const TransferProgress&) override {}
  void ShowWaitingForReceiver(std::optional<std::chrono::steady_clock::time_point>) override {}
  void ShowStopped(std::int64_t done, std::int64_t total) override {
    stoppedAt.push_back({done, total});
  }
  Answer MessageBox(const std::string& t, const std::string& title, Buttons b, Icon i) override {
    messages.push_back({t, title, b, i});
    return Next(answers, b == Buttons::YesNoCancel        ? Answer::Cancel
                         : b == Buttons::AbortRetryIgnore ? Answer::Ignore
                                                          : Answer::OK);
  }
  Answer ExplainedMessageBox(const std::string& t, const std::string& explanation,
                             const std::string& title, Buttons b, Icon i) override {
    const Answer a = MessageBox(t, title, b, i);
    messages.back().explanation = explanation;
    return a;
  }
  ChooserResult ShowOpenDialog(const ChooserRequest& r) override {
    chooserRequests.push_back(r);
    return Next(chooserResults, ChooserResult{});
  }
  void PumpEvents(std::chrono::milliseconds) override {
    if (++pumps > pumpLimit) throw std::runtime_error("poll loop did not end");
    if (onPump) onPump();
  }
  void CentreWindow() override {}
  void SetBusyPointer(bool b) override { busy = b; }
  void SetToolTip(Control c, const std::string& t) override { toolTip[c] = t; }
  void RequestClose() override { onRequestClose ? onRequestClose() : void(), ++closeRequests; }

  std::string Text(Control c) const { return text.count(c) ? text.at(c) : ""; }

  std::map<Control, bool> enabled, value;
  std::map<Control, std::string> text, caption, toolTip;
  float progress = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> stoppedAt;  // done, total
  bool busy = false;
  int closeRequests = 0;
  std::vector<ShownMessage> messages;
  std::deque<Answer> answers;  // next answers; the box's default when empty
  std::vector<ChooserRequest> chooserRequests;
  std::deque<ChooserResult> chooserResults;  // cancelled when empty
  // Runs on every pump.
  std::function<void()> onPump, onRequestClose;
  long pumps = 0;
  long pumpLimit = 400000;  // a loop that never ends fails the test instead of hanging

 private:
  template <class T>
  static T Next(std::deque<T>& queue, T otherwise) {
    if (queue.empty()) return otherwise;
    T next = std::move(queue.front());
    return queue.pop_front(), next;
  }
};

class FakeSerial : public SerialPort {
 public:
  void SetCommPort(int p) override { port = p; }
  int CommPort() const override { return port; }
  void SetSettings(const std::string& s) override { settings = s; }
  bool SetPortOpen(bool open) override {
    if (!open) return closedLost = open_ && lost, !(open_ = false);
    openAttempts.push_back(port);
    const bool refused =
        failOpen || (!openPorts.empty() && !std::count(openPorts.begin(), openPorts.end(), port));
    lastError = refused ? "COM" + std::to_string(port) + ": no such device" : "";
    if (!refused) open_ = true, lost = closedLost = false;
    return !refused;
  }
  bool PortOpen() const override { return open_; }
  void SetInputMode(int) override {}
  void Output(std::span<const std::uint8_t> b) override {
    written.insert(written.end(), b.begin(), b.end());
    writes.emplace_back(b.begin(), b.end());
  }
  using SerialPort::Output;
  int OutBufferCount() const override { return outQueued; }
  void WaitForSent(std::chrono::milliseconds) override {
    ++sentWaits;
    if (onWaitForSent) onWaitForSent();
  }
  int sentWaits = 0;
  std::function<void()> onWaitForSent;  // where a test lets time pass and output drain
  void SetOutBufferCount(int) override { outQueued = 0, ++outDrops; }
  int InBufferCount() const override { return static_cast<int>(rx.size()); }
  void SetInBufferCount(int) override { rx.clear(), ++inDrops; }
  void SetInputLen(int n) override { inputLen = n; }
  // One read: at most InputLen bytes, and at most what is left of the front chunk.
  Bytes Input() override {
    std::size_t n = rx.size();
    if (inputLen > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(inputLen));
    if (!chunks.empty()) n = std::min(n, chunks.front());
    Bytes out(rx.begin(), rx.begin() + long(n));
    rx.erase(rx.begin(), rx.begin() + long(n));
    if (!chunks.empty() && (chunks.front() -= n) == 0) chunks.pop_front();
    return out;
  }
  std::string LastError() const override { return lastError; }
  bool Lost() const override { return lost; }
  bool ClosedLost() const override { return closedLost; }
  void Deliver(const Bytes& b) { rx.insert(rx.end(), b.begin(), b.end()); }

  int port = 0, inputLen = 0;
  std::string settings;
  std::deque<std::uint8_t> rx;
  std::deque<std::size_t> chunks;  // sizes of the coming reads, when the test decides them
  Bytes written;                   // every byte written, in order
  std::vector<Bytes> writes;       // each Output call on its own
  int outQueued = 0, outDrops = 0, inDrops = 0;
  std::vector<int> openPorts;  // ports for which an open succeeds (empty: every port)
  std::vector<int> openAttempts;
  bool failOpen = false, lost = false, closedLost = false;
  std::string lastError;

 private:
  bool open_ = false;
};

class FakeSettings : public SettingsStore {
 public:
  std::string Read(const std::string& app, const std::string& sec, const std::string& key,
                   const std::string& def) const override {
    EXPECT_EQ(app, kAppName);
    return values.count(sec + "/" + key) ? values.at(sec + "/" + key) : def;
  }
  void Write(const std::string& app, const std::string& sec, const std::string& key,
             const std::string& t) override {
    EXPECT_EQ(app, kAppName);
    values[sec + "/" + key] = t, writes.push_back(sec + "/" + key + "=" + t);
  }
  std::map<std::string, std::string> values;  // "section/key"
  std::vector<std::string> writes;            // "section/key=value", in order
};

class FakeClock : public Clock {
 public:
  FakeClock() = default;
  explicit FakeClock(std::deque<std::chrono::nanoseconds> reads) : advances(std::move(reads)) {}
  std::chrono::steady_clock::time_point Now() override {
    if (!advances.empty()) now += advances.front(), advances.pop_front();
    return now;
  }
  LocalDateTime Local() override { return local; }
  void Pause(std::chrono::microseconds d) override {
    if (onPause) onPause();
    pauses.push_back(d), now += d;
  }
  std::function<void()> onPause;
  std::chrono::steady_clock::time_point now{};
  std::deque<std::chrono::nanoseconds> advances;  // added to now before each read, in order
  LocalDateTime local{1993, 10, 13, 12, 45, 0};
  std::vector<std::chrono::microseconds> pauses;
};

// The reads of a clock on which each timed run of a loop takes the given time.
inline std::deque<std::chrono::nanoseconds> LoopRuns(
    const std::vector<std::chrono::nanoseconds>& runs) {
  std::deque<std::chrono::nanoseconds> reads;
  for (auto r : runs) reads.insert(reads.end(), {std::chrono::nanoseconds{0}, r});
  return reads;
}

inline Bytes B(std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); }

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::string Hex(const Bytes& b) {  // "01 08 FF"
  std::string s;
  for (std::uint8_t c : b) s += {' ', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
  return s.empty() ? s : s.substr(1);
}

}  // namespace kelvane::test
