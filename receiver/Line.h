#pragma once
// The receiver's end of the serial line: a pseudo-terminal whose slave the PC opens (on
// Windows a named pipe stands in for it), or a real serial device. Reads and writes can be
// paced to what a 115200 8N1 line carries, and every read has a deadline so that a silent PC
// ends the run instead of hanging it. The system's part (opening, one read, one write, the
// hold on a line no PC has opened yet) lives in LinePosix.cpp and LineWin32.cpp.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "transfer/Protocol.h"

namespace kelvane::rx {

using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

using wire::kLineBytesPerSecond;

// The line failed.
class LineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The PC closed its end of the line (or the device hung up).
class PeerClosed : public LineError {
 public:
  using LineError::LineError;
};

class Line {
 public:
  // A new pseudo-terminal, both ends raw. With linkPath, a symlink linkPath -> slave is
  // made and removed again by the destructor. On Windows a named pipe, \\.\pipe\linkPath
  // (or linkPath itself when it is given in that form; a name of its own when empty), that
  // takes one PC at a time.
  static Line OpenPty(const std::string& linkPath, bool pace);
  // A serial device at 115200 8N1, raw ("COM3" on Windows).
  static Line OpenDevice(const std::string& path, bool pace);

  Line(Line&& other) noexcept;
  Line& operator=(Line&&) = delete;
  Line(const Line&) = delete;
  ~Line();

  // The device the PC opens (the pty slave or the pipe, or the device itself).
  const std::string& PeerPath() const { return peerPath_; }

  // One write of the bytes; when pacing, in slices no faster than the line.
  void Write(std::span<const std::uint8_t> bytes);
  void Write(std::uint8_t byte) { Write(std::span<const std::uint8_t>(&byte, 1)); }
  void Write(std::initializer_list<std::uint8_t> bytes) {
    Write(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
  }

  // The next byte that has arrived by the deadline, or nullopt at the deadline. Throws
  // LineError when the PC has closed its end.
  std::optional<std::uint8_t> ReadByte(SteadyClock::time_point deadline);

  // The next n bytes, or fewer when the deadline passes first. On a paced line this sleeps
  // once until the last of them is due, not once per byte. Throws PeerClosed when the PC
  // closed its end before n bytes came.
  Bytes Read(std::size_t n, SteadyClock::time_point deadline);

  // Every write that answers the PC waits until this long after the arrival of the last
  // byte read, as an adapter's latency would hold the answer back.
  void SetReplyDelay(std::chrono::milliseconds delay) { replyDelay_ = delay; }

  // Waits until the deadline, taking in what arrives meanwhile (kept for later reads).
  void Wait(SteadyClock::time_point deadline);

  // Takes in bytes until none has come for `quiet` or the deadline passes; returns them.
  Bytes DrainQuiet(std::chrono::milliseconds quiet, SteadyClock::time_point deadline);

  // A pty (or the pipe standing in for one): the next PC can open it after one closed it.
  bool IsPty() const { return pty_; }

  // True once the PC has sent its first byte: it has the line open.
  bool PeerSeen() const { return peerSeen_; }

  // For a pty: after the PC closed its end, hold the slave again so that the next PC
  // can open it and the master sees no hang-up meanwhile (a pipe waits for the next PC).
  void HoldAgain();

  // Drops what we wrote that no PC has read yet (only while we hold the slave ourselves),
  // so that repeated announcements do not pile up before the PC opens the line. A pipe
  // drops what is written while no PC has it open.
  void DiscardUnread();

  // Closes the line at once (the PC sees its end hang up).
  void Close();

  std::size_t BytesSent() const { return sent_; }
  std::size_t BytesReceived() const { return received_; }

 private:
  // What one read of the system takes at most.
  static constexpr std::size_t kChunk = 4096;
  // Receive's answer when the PC closed its end.
  static constexpr std::size_t kHungUp = static_cast<std::size_t>(-1);

  Line();
  void ClosedByPeer();
  void TakeIn(SteadyClock::time_point until);
  [[noreturn]] void PeerGone();

  // The system's part. Send writes some of the bytes and returns how many it took (0: none
  // now, after a short wait for room); a closed line throws. Receive waits until bytes
  // come or `until`: their count, 0 at `until`, kHungUp when the PC closed its end.
  // ReleaseHold lets go of our own hold on the line once the PC has it open.
  bool IsOpen() const;
  std::size_t Send(const std::uint8_t* bytes, std::size_t n);
  std::size_t Receive(std::uint8_t (&buf)[kChunk], SteadyClock::time_point until);
  void ReleaseHold();

  struct System;  // descriptors or handles, and what the system keeps pending on them
  std::unique_ptr<System> sys_;
  bool pty_ = false;
  bool pace_ = false;
  bool peerSeen_ = false;
  bool peerClosed_ = false;  // the PC closed its end; only queued bytes are left
  std::string peerPath_;
  SteadyClock::time_point sendFree_{};     // when the line has sent what was written
  SteadyClock::time_point lastArrival_{};  // arrival time of the last byte taken in
  SteadyClock::time_point lastRead_{};     // arrival time of the last byte handed out
  std::chrono::milliseconds replyDelay_{0};
  struct Arrival {
    std::uint8_t byte;
    SteadyClock::time_point at;
  };
  std::deque<Arrival> queue_;
  std::size_t sent_ = 0, received_ = 0;
};

// The whole content of a file; throws std::runtime_error when it cannot be read.
Bytes ReadFile(const std::string& path);

// Junk bytes for noise and garbage: deterministic, and never one of the control bytes
// (00 to 1F), so that they cannot be taken for an answer.
Bytes Junk(std::size_t count, std::uint32_t seed = 1);

}  // namespace kelvane::rx
