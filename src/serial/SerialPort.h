#pragma once
// The serial object MSComm1: exactly the operations the exchanges rely on, named after
// the properties of the serial control the window was first built on, plus the two
// questions a real device needs answered (why did it fail, is it still there).

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvane {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kLineSettings = "115200,n,8,1";

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual void SetCommPort(int port) = 0;  // chooses the port for the next open
  virtual int CommPort() const = 0;        // the number last set, also after a failed open

  virtual void SetSettings(const std::string& settings) = 0;  // "115200,n,8,1"

  // PortOpen = True opens the port and returns false when that fails (no such device,
  // in use, refused); PortOpen = False closes it and always succeeds.
  virtual bool SetPortOpen(bool open) = 0;
  virtual bool PortOpen() const = 0;

  virtual void SetInputMode(int mode) = 0;  // 1: binary, bytes delivered unchanged

  virtual void Output(std::span<const std::uint8_t> bytes) = 0;  // queue and return at once

  virtual int OutBufferCount() const = 0;  // bytes queued and not yet sent
  // Waits at most d for queued bytes to leave (the close-time drain); never pumps events.
  virtual void WaitForSent(std::chrono::milliseconds d) { (void)d; }
  virtual void SetOutBufferCount(int zero) = 0;  // 0 drops the bytes not yet sent

  virtual int InBufferCount() const = 0;        // bytes received and not yet read
  virtual void SetInBufferCount(int zero) = 0;  // 0 drops the bytes received and not yet read

  virtual void SetInputLen(int count) = 0;  // largest read of Input; 0 means all that wait
  virtual Bytes Input() = 0;                // up to InputLen waiting bytes; never waits
  // One read of Input reduced to its element 0 (the byte poll's read): the same bytes leave
  // the buffer, but an adapter may spare building the array. Empty when nothing was read.
  virtual std::optional<std::uint8_t> InputByte() {
    const Bytes b = Input();
    if (b.empty()) return std::nullopt;
    return b[0];
  }

  // Why the last open failed, or why the open line broke, in words for the user
  // (the device tried and the reason). Empty when nothing failed.
  virtual std::string LastError() const = 0;

  // True once the open line has failed for good (the adapter was unplugged, the far
  // end of a pseudo-terminal closed). The port still counts as open until closed.
  virtual bool Lost() const = 0;
  // True after the port was closed while its line was lost, until the next open: the
  // device went away, the user did not close it.
  virtual bool ClosedLost() const { return false; }

  // What to wait on for received bytes or a failure of the line: the open file descriptor
  // (readable) on POSIX, an event handle on Windows; -1 while closed, once the line is lost
  // (the device is closed then: a watch on the handle must end when Lost() turns true) or
  // where there is none.
  virtual std::intptr_t ReadinessHandle() const { return -1; }

  void Output(std::uint8_t byte) { Output(std::span<const std::uint8_t>(&byte, 1)); }
};

}  // namespace kelvane
