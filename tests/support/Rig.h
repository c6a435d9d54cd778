#pragma once
// The window on fakes, run in a fresh temporary working directory of its own, with a file
// table that fails on purpose; Rig adds a scripted receiver and readies a transfer. Also
// the builders of files the tests feed in.

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "files/FileTable.h"
#include "support/ScriptedReceiver.h"

namespace kelvane::test {

namespace fs = std::filesystem;

inline void WriteFile(const std::string& name, const Bytes& b) {
  std::ofstream(name, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
inline Bytes ReadFile(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Bytes that differ from block to block, so that a block sent twice or out of place shows.
inline Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) & 0xFF);
  return out;
}

// A program image header with the given fields, the rest zero.
inline Bytes ImageHeaderBytes(Bytes content = {0, 1}, Bytes hw = {0, 0, 1, 5}, Bytes sw = {0, 0, 2, 0x10},
                              Bytes model = {0x12, 0x05}, const std::string& text = "ABC") {
  Bytes h(64, 0);
  h[0] = h[2] = 0x55, h[1] = h[3] = 0xAA;
  std::copy(content.begin(), content.end(), h.begin() + 4);
  std::copy(hw.begin(), hw.end(), h.begin() + 16);
  std::copy(sw.begin(), sw.end(), h.begin() + 20);
  std::copy(model.begin(), model.end(), h.begin() + 26);
  std::copy(text.begin(), text.end(), h.begin() + 32);
  return h;
}

// A 128-byte SDX record of fill bytes with the given fields.
inline Bytes SdxRecordBytes(const std::string& tag, const std::string& freqHigh, const std::string& freqLow, char pol,
                            const std::string& rate, char fill = ' ') {
  Bytes r(128, static_cast<std::uint8_t>(fill));
  auto put = [&](std::size_t at, const std::string& s) { std::copy(s.begin(), s.end(), r.begin() + at); };
  put(29, tag), put(33, freqHigh), put(36, freqLow), put(69, rate);
  r[42] = static_cast<std::uint8_t>(pol);
  return r;
}
inline Bytes Sdx(const std::string& high, const std::string& low, char pol, char fill = ' ') {
  return SdxRecordBytes("MPG2", high, low, pol, "27500", fill);
}

class TempDir {
 public:
  TempDir() : previous_(fs::current_path()) {
    std::string pattern = (fs::temp_directory_path() / "kelvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
    fs::current_path(path_);
  }
  ~TempDir() {
    fs::current_path(previous_);
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  bool Empty() const { return fs::is_empty(path_); }

 private:
  fs::path previous_, path_;
};

// Disk files with failures injected by name: opening fails, writing fails once more than a
// given number of bytes would be written (what fits is written, as on a full disk),
// deleting fails. Reads return at most readPiece bytes each (0: as many as asked).
class FaultyFiles : public DiskFileTable {
 public:
  bool Open(int num, const std::string& path, OpenMode mode, int recordLength = 0) override {
    if (failOpen.count(path)) return Fail(failOpen[path]), false;
    if (!DiskFileTable::Open(num, path, mode, recordLength)) return false;
    names_[num] = path, written_[num] = 0;
    return true;
  }
  bool Write(int num, std::span<const std::uint8_t> b) override {
    auto it = writeLimit.find(names_[num]);
    if (it != writeLimit.end() && written_[num] + b.size() > it->second) {
      const std::size_t room = it->second - std::min(it->second, written_[num]);
      DiskFileTable::Write(num, b.first(room));
      written_[num] += room;
      return Fail(ENOSPC), false;
    }
    written_[num] += b.size();
    return DiskFileTable::Write(num, b);
  }
  std::size_t Read(int num, std::span<std::uint8_t> buf) override {
    return DiskFileTable::Read(num, readPiece ? buf.first(std::min(buf.size(), readPiece)) : buf);
  }
  bool Delete(const std::string& path) override {
    if (failDelete.count(path)) return Fail(failDelete[path]), false;
    return DiskFileTable::Delete(path);
  }
  std::map<std::string, int> failOpen, failDelete;  // name -> errno
  std::map<std::string, std::size_t> writeLimit;    // name -> bytes that fit
  std::size_t readPiece = 0;

 private:
  std::map<int, std::string> names_;
  std::map<int, std::size_t> written_;
};

// The window on fakes, with the port shown open so that Start can be enabled.
struct Window {
  Window() { view.enabled[Control::ComPort1] = false; }
  TempDir dir;  // first: removed after every file is closed
  FakeView view;
  FakeSerial serial;
  FakeSettings settings;
  FaultyFiles files;
  FakeClock clock;
  Main main{view, serial, settings, files, clock};

  void Store(const std::string& key, const std::string& v) { settings.values["Startup/" + key] = v; }
  void Choose(const std::string& path) { view.chooserResults.push_back({ChooserResult::Outcome::Chosen, path, ""}); }
  bool StartEnabled() const { return view.enabled.at(Control::Start); }
  // One message box with this text, title and icon.
  void ExpectOnlyMessage(const std::string& text, const std::string& title, Icon icon) const {
    ASSERT_EQ(view.messages.size(), 1u) << text;
    EXPECT_EQ(view.messages[0].text, text);
    EXPECT_EQ(view.messages[0].title, title);
    EXPECT_EQ(view.messages[0].icon, icon);
  }
};

// A window ready for a transfer: port open, and a receiver to script.
struct Rig : Window {
  ScriptedReceiver rx{main, view, serial};

  Rig() {
    serial.SetPortOpen(true);
    serial.SetInputMode(1);
    for (int n = 1; n <= 8; ++n) view.SetEnabled(ComPort(n), false);
    view.SetEnabled(Control::Browse, true);
  }
  // What the file selection leaves behind for a chosen file.
  void Choose(Control mode, Control type, const std::string& name) {
    main.SelectOption(mode, true);
    view.SetValue(type, true);
    main.XferPath = main.ChosenPath = name;
    main.FileNum = static_cast<std::int16_t>(files.FreeFile());
    main.SetFileReady(true);
  }
  // Runs the transfer; the script was played to its end, and no byte more was written.
  void Start(bool transcript = true) {
    main.Start_Click();
    rx.Settle();
    EXPECT_TRUE(rx.Finished()) << "the exchange ended before the receiver's script";
    EXPECT_FALSE(rx.stalled) << "the exchange went on after the receiver's script";
    if (transcript) { EXPECT_EQ(Hex(serial.written), Hex(rx.Expected())); }
  }
  // The window as every transfer leaves it, whichever way it ended.
  void ExpectUnlocked() const {
    EXPECT_FALSE(main.TransferRunning());
    for (Control c : {Control::Start, Control::Browse, Control::File, Control::portOpen, Control::ModeFrame,
                      Control::TypeFrame})
      EXPECT_TRUE(view.Enabled(c)) << static_cast<int>(c);
    EXPECT_FALSE(view.Enabled(Control::ExitButton));
    EXPECT_EQ(view.Text(Control::Info), "");
    EXPECT_EQ(view.progress, 0.0f);
    EXPECT_EQ(main.FileNum, 0);
    EXPECT_EQ(serial.inputLen, 0);
  }
};

}  // namespace kelvane::test
