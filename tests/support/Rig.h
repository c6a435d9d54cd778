#pragma once
// The window on fakes in a temporary working directory, with a file table that fails on
// purpose; Rig readies a transfer and plays the receiver's side of it.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "files/PrivateFolder.h"
#include "support/Fakes.h"
#include "support/Platform.h"

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
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<std::uint8_t>((i * 7 + seed + i / 251) & 0xFF);
  return out;
}

// A program image header with the given fields, the rest zero.
inline Bytes ImageHeaderBytes(Bytes content = {0, 1}, Bytes hw = {0, 0, 1, 5},
                              Bytes sw = {0, 0, 2, 0x10}, Bytes model = {0x12, 0x05},
                              const std::string& text = "ABC") {
  Bytes h = Concat({B({0x55, 0xAA, 0x55, 0xAA}), Bytes(60, 0)});
  for (auto [at, f] : {std::pair{4, content},
                       {16, hw},
                       {20, sw},
                       {26, model},
                       {32, Bytes(text.begin(), text.end())}})
    std::copy(f.begin(), f.end(), h.begin() + at);
  return h;
}

// A 128-byte SDX record of fill bytes with the given fields.
inline Bytes SdxRecordBytes(const std::string& tag, const std::string& freqHigh,
                            const std::string& freqLow, char pol, const std::string& rate,
                            char fill = ' ') {
  Bytes r(128, static_cast<std::uint8_t>(fill));
  for (auto [at, s] :
       {std::pair{29, tag}, {33, freqHigh}, {36, freqLow}, {42, std::string(1, pol)}, {69, rate}})
    std::copy(s.begin(), s.end(), r.begin() + at);
  return r;
}
inline Bytes Sdx(const std::string& high, const std::string& low, char pol, char fill = ' ') {
  return SdxRecordBytes("MPG2", high, low, pol, "27500", fill);
}

// A folder in memory when the machine has one, for tests that make many small files.
inline fs::path MemoryTempBase() {
  std::error_code ec;
#ifdef _WIN32
  return fs::temp_directory_path();
#else
  return fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
             ? fs::path("/dev/shm")
             : fs::temp_directory_path();
#endif
}

struct TempDir {
  explicit TempDir(const fs::path& base = fs::temp_directory_path()) {
    const std::string made = MakePrivateFolder(base, "kelvane-test-");
    if (made.empty()) throw std::runtime_error("no temporary folder");
    fs::current_path(path = made);
  }
  ~TempDir() {
    std::error_code ec;
    fs::current_path(previous), fs::remove_all(path, ec);
  }
  fs::path previous = fs::current_path(), path;
};

// Disk files with failures injected by name: opening fails, writing once more than a given
// number of bytes would be written (what fits is written, as on a full disk), or reading once
// more than a given number of bytes would be read (what lies before is read, as with a bad
// sector). A file written under a private name beside a target goes by the target's name.
// Reads return at most readPiece bytes each (0: as many as asked).
class FaultyFiles : public DiskFileTable {
 public:
  struct Fault {
    std::size_t after;  // bytes that pass
    int err;
  };
  bool Open(int num, const std::string& path, OpenMode mode, int recordLength = 0) override {
    if (failOpen.count(path)) return Fail(failOpen[path], path), false;
    return Name(num, path), DiskFileTable::Open(num, path, mode, recordLength);
  }
  std::string OpenBeside(int num, const std::string& target) override {
    if (failOpen.count(target)) return Fail(failOpen[target], target), "";
    const std::string name = DiskFileTable::OpenBeside(num, target);
    if (!name.empty()) Name(num, target), privateOf_[name] = target;
    return name;
  }
  bool Write(int num, std::span<const std::uint8_t> b) override {
    auto it = writeLimit.find(names_[num]);
    if (it != writeLimit.end() && done_[num] + b.size() > it->second) {
      const std::size_t room = it->second - std::min(it->second, done_[num]);
      DiskFileTable::Write(num, b.first(room));
      done_[num] += room;
      return Fail(ENOSPC, names_[num]), false;
    }
    done_[num] += b.size();
    return DiskFileTable::Write(num, b);
  }
  std::size_t Read(int num, std::span<std::uint8_t> buf) override {
    if (beforeRead) beforeRead();
    if (readPiece) buf = buf.first(std::min(buf.size(), readPiece));
    auto it = readFault.find(names_[num]);
    if (it == readFault.end() || done_[num] + buf.size() <= it->second.after) {
      const std::size_t got = DiskFileTable::Read(num, buf);
      return done_[num] += got, got;
    }
    const std::size_t got = DiskFileTable::Read(
        num, buf.first(it->second.after - std::min(it->second.after, done_[num])));
    done_[num] += got;
    return Fail(it->second.err, names_[num]), got;
  }
  bool Seek(int num, std::int64_t pos) override {  // a read fault counts from the start of the file
    if (names_.count(num)) done_[num] = static_cast<std::size_t>(std::max<std::int64_t>(pos, 0));
    return DiskFileTable::Seek(num, pos);
  }
  std::map<std::string, int> failOpen;            // name -> errno
  std::map<std::string, std::size_t> writeLimit;  // name -> bytes that fit
  std::map<std::string, Fault> readFault;         // name -> where reading fails
  std::size_t readPiece = 0;
  std::function<void()> beforeRead;  // another program at work meanwhile
  // Flushes to the disk of a file (by its target's name) or a folder: `after` pass, then err.
  std::map<std::string, Fault> syncFault;

 protected:
  bool SyncFile(int fd, const std::string& path) override {
    const auto it = privateOf_.find(path);
    return Flushes(it == privateOf_.end() ? path : it->second) && DiskFileTable::SyncFile(fd, path);
  }
  bool SyncFolder(const std::string& folder) override {
    return Flushes(folder) && DiskFileTable::SyncFolder(folder);
  }

 private:
  bool Flushes(const std::string& name) {
    const auto it = syncFault.find(name);
    if (it == syncFault.end()) return true;
    if (it->second.after > 0) return --it->second.after, true;
    return Fail(it->second.err, name), false;
  }
  void Name(int num, const std::string& path) { names_[num] = path, done_[num] = 0; }
  std::map<int, std::string> names_;
  std::map<int, std::size_t> done_;  // bytes written, or the position read up to
  std::map<std::string, std::string> privateOf_;
};

// The window on fakes, with the port shown open so that Start can be enabled.
struct Window {
  Window() { view.enabled[Control::ComPort1] = false; }
  TempDir dir;  // first, so that it is removed after every file is closed
  FakeView view;
  FakeSerial serial;
  FakeSettings settings;
  FaultyFiles files;
  // Each timed run of the counting loop at start-up takes 16 us.
  FakeClock clock{
      LoopRuns(std::vector<std::chrono::nanoseconds>(kLoopRuns, std::chrono::microseconds{16}))};
  Main main{view, serial, settings, files, clock};

  void Store(const std::string& key, const std::string& v) {
    settings.values["Startup/" + key] = v;
  }
  void Choose(const std::string& path) {
    view.chooserResults.push_back({ChooserResult::Outcome::Chosen, path, ""});
  }
  bool StartEnabled() const { return view.enabled.at(Control::Start); }
  // One message box with this text, title and icon.
  void ExpectOnlyMessage(const std::string& text, const std::string& title, Icon icon) const {
    ASSERT_EQ(view.messages.size(), 1u) << text;
    EXPECT_EQ(view.messages[0].text, text);
    EXPECT_EQ(view.messages[0].title, title);
    EXPECT_EQ(view.messages[0].icon, icon);
  }
};

// A window ready for a transfer: port open.
struct Rig : Window {
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
  // The receiver says b: the window hears the line; returns what the PC wrote meanwhile.
  Bytes Say(const Bytes& b) {
    const std::size_t before = serial.written.size();
    serial.Deliver(b);
    main.Line_Readable();
    return Bytes(serial.written.begin() + long(before), serial.written.end());
  }
  // The window as every transfer leaves it, whichever way it ended.
  void ExpectUnlocked() const {
    EXPECT_FALSE(main.TransferRunning());
    for (Control c : {Control::Start, Control::Browse, Control::File, Control::portOpen,
                      Control::ModeFrame, Control::TypeFrame})
      EXPECT_TRUE(view.Enabled(c)) << static_cast<int>(c);
    EXPECT_FALSE(view.Enabled(Control::ExitButton));
    EXPECT_EQ(view.Text(Control::Info), "") << "size text cleared";
    EXPECT_EQ(view.progress, 0.0f) << "bar cleared";
    EXPECT_EQ(main.FileNum, 0) << "transfer file closed";
    EXPECT_EQ(serial.inputLen, 0) << "InputLen back to 0";
  }
};

}  // namespace kelvane::test
