#pragma once
// Fakes of the platform interfaces, shared by the logic tests: a view that remembers every
// control's state and answers message boxes and the chooser from queues, a serial object
// with scripted input and a transcript of every write, a settings map and a manual clock.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/MainView.h"
#include "app/SettingsStore.h"
#include "serial/SerialPort.h"

namespace kelvane::test {

struct ShownMessage {
  std::string text, title;
  Buttons buttons;
  Icon icon;
};

class FakeView : public MainView {
 public:
  FakeView();

  void SetEnabled(Control c, bool e) override { enabled[c] = e; }
  bool Enabled(Control c) const override { return enabled.at(c); }
  bool Value(Control c) const override;
  void SetValue(Control c, bool v) override;
  void SetText(Control c, const std::string& t) override { text[c] = t; }
  void SetCaption(Control c, const std::string& t) override { caption[c] = t; }
  void SetProgressMax(int m) override { progressMax = m; }
  void SetProgressValue(float v) override { progress = v; progressHistory.push_back(v); }
  Answer MessageBox(const std::string& text, const std::string& title, Buttons b, Icon i) override;
  ChooserResult ShowOpenDialog(const ChooserRequest& r) override;
  void PumpEvents(std::chrono::milliseconds maxWait) override;
  void CentreWindow() override { ++centred; }
  void SetBusyPointer(bool b) override { busy = b; busyHistory.push_back(b); }
  void SetToolTip(Control c, const std::string& t) override { toolTip[c] = t; }
  void RequestClose() override { ++closeRequests; }

  std::string Text(Control c) const { auto it = text.find(c); return it == text.end() ? "" : it->second; }
  std::string Caption(Control c) const { auto it = caption.find(c); return it == caption.end() ? "" : it->second; }

  std::map<Control, bool> enabled;
  std::map<Control, bool> value;
  std::map<Control, std::string> text, caption, toolTip;
  int progressMax = 100;
  float progress = 0;
  std::vector<float> progressHistory;
  bool busy = false;
  std::vector<bool> busyHistory;
  int centred = 0;
  int closeRequests = 0;

  std::vector<ShownMessage> messages;
  std::deque<Answer> answers;  // next answers; OK (or Cancel for Yes/No/Cancel) when empty
  std::vector<ChooserRequest> chooserRequests;
  std::deque<ChooserResult> chooserResults;  // cancelled when empty

  // Runs on every pump: this is where a test plays the receiver, ticks the timer or
  // presses Stop. maxWait of each pump is recorded.
  std::function<void()> onPump;
  long pumps = 0;
  long pumpLimit = 2'000'000;  // a loop that never ends fails the test instead of hanging
  std::vector<std::chrono::milliseconds> waits;
};

class FakeSerial : public SerialPort {
 public:
  void SetCommPort(int p) override { port = p; }
  int CommPort() const override { return port; }
  void SetSettings(const std::string& s) override { settings = s; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void SetInputMode(int m) override { inputMode = m; }
  void Output(std::span<const std::uint8_t> bytes) override;
  using SerialPort::Output;
  int OutBufferCount() const override { return outQueued; }
  void SetOutBufferCount(int) override { outQueued = 0; ++outDrops; }
  int InBufferCount() const override { return static_cast<int>(rx.size()); }
  void SetInBufferCount(int) override { rx.clear(); ++inDrops; }
  void SetInputLen(int n) override { inputLen = n; inputLenHistory.push_back(n); }
  Bytes Input() override;
  std::string LastError() const override { return lastError; }
  bool Lost() const override { return lost; }

  void Deliver(const Bytes& b) { rx.insert(rx.end(), b.begin(), b.end()); }

  int port = 0;
  std::string settings;
  int inputMode = 0;
  int inputLen = 0;
  std::vector<int> inputLenHistory;
  std::deque<std::uint8_t> rx;
  // Chunks handed out by Input: when set, each read returns at most the front chunk's
  // remaining bytes, so a test decides how the receiver's bytes are split into reads.
  std::deque<Bytes> chunks;
  Bytes written;                 // every byte written, in order
  std::vector<Bytes> writes;     // each Output call on its own
  int outQueued = 0;             // what OutBufferCount reports
  int outDrops = 0, inDrops = 0;
  std::vector<int> openPorts;    // ports for which an open succeeds (empty: every port)
  std::vector<int> openAttempts;
  bool failOpen = false;
  bool lost = false;
  std::string lastError;
  int inputCalls = 0;

 private:
  bool open_ = false;
};

class FakeSettings : public SettingsStore {
 public:
  std::string Read(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& def) const override;
  void Write(const std::string& app, const std::string& section, const std::string& key,
             const std::string& t) override;
  std::map<std::string, std::string> values;  // "section/key"
  std::vector<std::string> writes;            // "section/key=value", in order
};

class FakeClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() override { return now; }
  LocalDateTime Local() override { return local; }
  void Pause(std::chrono::microseconds d) override { pauses.push_back(d); now += d; }
  void Advance(std::chrono::milliseconds d) { now += d; }
  std::chrono::steady_clock::time_point now{};
  LocalDateTime local{1993, 10, 13, 12, 45, 0};
  std::vector<std::chrono::microseconds> pauses;
};

Bytes B(std::initializer_list<int> bytes);
std::string Hex(const Bytes& b);  // "01 08 FF"

}  // namespace kelvane::test
