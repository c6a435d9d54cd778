#include "support/Fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace kelvane::test {

namespace {

// The option groups of the window.
const std::vector<std::vector<Control>>& Groups() {
  static const std::vector<std::vector<Control>> groups = {
      {Control::ComPort1, Control::ComPort2, Control::ComPort3, Control::ComPort4, Control::ComPort5,
       Control::ComPort6, Control::ComPort7, Control::ComPort8},
      {Control::DownDot, Control::UpDot},
      {Control::ProgramDot, Control::SDXDot, Control::TemuDot}};
  return groups;
}

}  // namespace

FakeView::FakeView() {
  for (int c = static_cast<int>(Control::PortFrame); c <= static_cast<int>(Control::Status); ++c)
    enabled[static_cast<Control>(c)] = true;
  enabled[Control::Browse] = false;
  enabled[Control::Start] = false;
  enabled[Control::ExitButton] = false;
  value[Control::ComPort1] = true;
  value[Control::DownDot] = true;
  value[Control::ProgramDot] = true;
  caption[Control::portOpen] = "Port Close";
}

bool FakeView::Value(Control c) const {
  auto it = value.find(c);
  return it != value.end() && it->second;
}

void FakeView::SetValue(Control c, bool v) {
  if (v) {
    for (const auto& g : Groups())
      if (std::find(g.begin(), g.end(), c) != g.end())
        for (Control o : g) value[o] = false;
  }
  value[c] = v;
}

Answer FakeView::MessageBox(const std::string& t, const std::string& title, Buttons b, Icon i) {
  messages.push_back({t, title, b, i});
  if (!answers.empty()) {
    Answer a = answers.front();
    answers.pop_front();
    return a;
  }
  return b == Buttons::YesNoCancel ? Answer::Cancel : b == Buttons::AbortRetryIgnore ? Answer::Ignore : Answer::OK;
}

ChooserResult FakeView::ShowOpenDialog(const ChooserRequest& r) {
  chooserRequests.push_back(r);
  if (chooserResults.empty()) return {};
  ChooserResult res = chooserResults.front();
  chooserResults.pop_front();
  return res;
}

void FakeView::PumpEvents(std::chrono::milliseconds maxWait) {
  if (++pumps > pumpLimit) throw std::runtime_error("poll loop did not end");
  if (waits.size() < 100000) waits.push_back(maxWait);
  if (onPump) onPump();
}

bool FakeSerial::SetPortOpen(bool open) {
  if (!open) {
    open_ = false;
    return true;
  }
  openAttempts.push_back(port);
  const bool allowed = openPorts.empty() || std::find(openPorts.begin(), openPorts.end(), port) != openPorts.end();
  if (failOpen || !allowed) {
    lastError = "COM" + std::to_string(port) + ": no such device";
    return false;
  }
  open_ = true;
  lost = false;
  lastError.clear();
  return true;
}

void FakeSerial::Output(std::span<const std::uint8_t> bytes) {
  written.insert(written.end(), bytes.begin(), bytes.end());
  writes.emplace_back(bytes.begin(), bytes.end());
}

Bytes FakeSerial::Input() {
  ++inputCalls;
  std::size_t n = rx.size();
  if (inputLen > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(inputLen));
  if (!chunks.empty()) {
    n = std::min(n, chunks.front().size());
  }
  Bytes out(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(n));
  rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(n));
  if (!chunks.empty()) {
    auto& front = chunks.front();
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty()) chunks.pop_front();
  }
  return out;
}

std::string FakeSettings::Read(const std::string& app, const std::string& section, const std::string& key,
                               const std::string& def) const {
  EXPECT_EQ(app, kAppName);
  auto it = values.find(section + "/" + key);
  return it == values.end() ? def : it->second;
}

void FakeSettings::Write(const std::string& app, const std::string& section, const std::string& key,
                         const std::string& t) {
  EXPECT_EQ(app, kAppName);
  values[section + "/" + key] = t;
  writes.push_back(section + "/" + key + "=" + t);
}

Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X", b[i]);
    if (i) s += ' ';
    s += buf;
  }
  return s;
}

}  // namespace kelvane::test
