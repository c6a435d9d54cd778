#pragma once
// Shared by the file tests: a fixture that runs each test in a fresh temporary working
// directory, a file table that fails on purpose, a window made of fakes, and builders
// for images and SDX records.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/Main.h"
#include "files/FileTable.h"
#include "support/Fakes.h"

namespace kelvane::test {

namespace fs = std::filesystem;

// Each test runs in its own empty working directory, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "kelvane-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static Bytes ReadFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // Names in the working directory, sorted.
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }

  fs::path dir_;

 private:
  fs::path previous_;
};

// The disk file table with failures injected by file name: opening a name fails, writing
// to it fails once more than a given number of bytes has been written, deleting it fails.
class FailingFileTable : public DiskFileTable {
 public:
  bool Open(int num, const std::string& path, OpenMode mode, int recordLength = 0) override {
    if (failOpen.count(path)) {
      Fail(failOpen[path]);
      return false;
    }
    if (!DiskFileTable::Open(num, path, mode, recordLength)) return false;
    names_[num] = path;
    written_[num] = 0;
    return true;
  }
  bool Write(int num, std::span<const std::uint8_t> bytes) override {
    auto it = writeLimit.find(names_[num]);
    if (it != writeLimit.end() && written_[num] + bytes.size() > it->second) {
      // Writes what fits, as a full disk does, then fails.
      const std::size_t room = it->second - std::min(it->second, written_[num]);
      DiskFileTable::Write(num, bytes.first(room));
      written_[num] += room;
      Fail(ENOSPC);
      return false;
    }
    written_[num] += bytes.size();
    return DiskFileTable::Write(num, bytes);
  }
  // Reads return at most readPiece bytes each (0: as many as asked), as a pipe or a
  // network file may.
  std::size_t Read(int num, std::span<std::uint8_t> buf) override {
    return DiskFileTable::Read(num, readPiece ? buf.first(std::min(buf.size(), readPiece)) : buf);
  }
  bool Delete(const std::string& path) override {
    if (failDelete.count(path)) {
      Fail(failDelete[path]);
      return false;
    }
    return DiskFileTable::Delete(path);
  }

  std::map<std::string, int> failOpen;             // name -> errno
  std::map<std::string, std::size_t> writeLimit;   // name -> bytes that fit
  std::map<std::string, int> failDelete;           // name -> errno
  std::size_t readPiece = 0;

 private:
  std::map<int, std::string> names_;
  std::map<int, std::size_t> written_;
};

// The window on fakes, with the port shown open so that Start can be enabled.
struct Window {
  Window() { view.enabled[Control::ComPort1] = false; }
  FakeView view;
  FakeSerial serial;
  FakeSettings settings;
  FailingFileTable files;
  FakeClock clock;
  Main main{view, serial, settings, files, clock};

  void SelectType(Control type) { view.SetValue(type, true); }
  void Choose(const std::string& path) {
    view.chooserResults.push_back({ChooserResult::Outcome::Chosen, path, ""});
  }
  void Cancel() { view.chooserResults.push_back({ChooserResult::Outcome::Cancelled, "", ""}); }
  bool StartEnabled() const { return view.enabled.at(Control::Start); }
};

// A program image header with the given fields; the rest zero.
inline Bytes ImageHeaderBytes(Bytes content = {0x00, 0x01}, Bytes hw = {0, 0, 1, 5}, Bytes sw = {0, 0, 2, 0x10},
                              Bytes model = {0x12, 0x05}, const std::string& text = "ABC") {
  Bytes h(64, 0);
  h[0] = 0x55, h[1] = 0xAA, h[2] = 0x55, h[3] = 0xAA;
  std::copy(content.begin(), content.end(), h.begin() + 4);
  std::copy(hw.begin(), hw.end(), h.begin() + 16);
  std::copy(sw.begin(), sw.end(), h.begin() + 20);
  std::copy(model.begin(), model.end(), h.begin() + 26);
  std::copy(text.begin(), text.end(), h.begin() + 32);
  return h;
}

// A 128-byte SDX record of blanks with the given fields.
inline Bytes SdxRecordBytes(const std::string& tag, const std::string& freqHigh, const std::string& freqLow,
                            char pol, const std::string& rate, char fill = ' ') {
  Bytes r(128, static_cast<std::uint8_t>(fill));
  auto put = [&](std::size_t at, const std::string& s) { std::copy(s.begin(), s.end(), r.begin() + at); };
  put(29, tag);
  put(33, freqHigh);
  put(36, freqLow);
  r[42] = static_cast<std::uint8_t>(pol);
  put(69, rate);
  return r;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace kelvane::test
