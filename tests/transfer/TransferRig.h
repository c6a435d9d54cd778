#pragma once
// The window with fakes around it, ready for a transfer: port open, a file chosen, and a
// temporary folder of its own for the files the transfer reads and writes.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "app/Main.h"
#include "files/FileTable.h"
#include "support/Fakes.h"
#include "support/ScriptedReceiver.h"

namespace kelvane::test {

// Disk files whose writes can be made to fail, as on a full disk.
class FlakyDisk : public DiskFileTable {
 public:
  int writesBeforeFailure = -1;  // -1: never fails
  bool Write(int num, std::span<const std::uint8_t> bytes) override {
    if (writesBeforeFailure == 0) {
      Fail(ENOSPC);
      return false;
    }
    if (writesBeforeFailure > 0) --writesBeforeFailure;
    return DiskFileTable::Write(num, bytes);
  }
};

// A view that can look at the window when the close is asked for again.
class RigView : public FakeView {
 public:
  std::function<void()> onRequestClose;
  void RequestClose() override {
    if (onRequestClose) onRequestClose();
    FakeView::RequestClose();
  }
};

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::random_device rd;
    path = std::filesystem::temp_directory_path() / ("kelvane-xfer-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

enum class Mode { DownLoad, UpLoad };
enum class Type { Program, Sdx, Temu };

struct Rig {
  RigView view;
  FakeSerial serial;
  FakeSettings settings;
  FlakyDisk files;
  FakeClock clock;
  Main main{view, serial, settings, files, clock};
  TempDir dir;
  ScriptedReceiver rx{main, view, serial};

  Rig() {
    view.pumpLimit = 400000;
    serial.SetPortOpen(true);
    serial.SetInputMode(1);
    for (int n = 1; n <= 8; ++n) view.SetEnabled(ComPort(n), false);
    view.SetEnabled(Control::Browse, true);
    view.SetCaption(Control::portOpen, "Port Close");
  }

  std::string Path(const std::string& name) const { return (dir.path / name).string(); }

  void WriteFile(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  Bytes ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool FileExists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

  // What the file selection leaves behind for a chosen file.
  void Choose(Mode mode, Type type, const std::string& name) {
    main.SelectOption(mode == Mode::DownLoad ? Control::DownDot : Control::UpDot, true);
    view.SetValue(type == Type::Program ? Control::ProgramDot : type == Type::Sdx ? Control::SDXDot : Control::TemuDot,
                  true);
    main.XferPath = Path(name);
    main.ChosenPath = main.XferPath;
    main.FileNum = static_cast<std::int16_t>(files.FreeFile());
    main.SetFileReady(true);
  }

  // Runs the transfer and checks that the script was played to its end.
  void Start() {
    main.Start_Click();
    rx.Settle();
    EXPECT_TRUE(rx.Finished()) << "the exchange ended before the receiver's script";
    EXPECT_FALSE(rx.stalled) << "the exchange went on after the receiver's script";
  }

  // The transcript is exactly what the receiver expected, no byte more.
  void ExpectTranscript() const { EXPECT_EQ(Hex(serial.written), Hex(rx.Expected())); }

  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> out;
    for (const auto& m : view.messages) out.push_back(m.text);
    return out;
  }
};

// The window as every transfer leaves it, whichever way it ended.
inline void ExpectUnlocked(const Rig& r) {
  const auto& v = r.view;
  EXPECT_FALSE(r.main.TransferRunning());
  EXPECT_TRUE(v.Enabled(Control::Start));
  EXPECT_TRUE(v.Enabled(Control::Browse));
  EXPECT_TRUE(v.Enabled(Control::File));
  EXPECT_FALSE(v.Enabled(Control::ExitButton));
  EXPECT_TRUE(v.Enabled(Control::portOpen));
  EXPECT_TRUE(v.Enabled(Control::ModeFrame));
  EXPECT_TRUE(v.Enabled(Control::TypeFrame));
  EXPECT_EQ(v.Text(Control::Info), "");
  EXPECT_EQ(v.progress, 0.0f);
  EXPECT_EQ(r.main.FileNum, 0);
  EXPECT_EQ(r.serial.inputLen, 0);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Pattern(std::size_t n, std::uint8_t seed = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) & 0xFF);
  return out;
}

}  // namespace kelvane::test
