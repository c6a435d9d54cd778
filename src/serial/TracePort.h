#pragma once
// A serial object that passes everything to another one and writes each write and each
// read that returned bytes to a trace, one line each: the time since the trace began, the
// direction, the count and the bytes in hexadecimal. The prefix has a fixed width, so the
// frames of an exchange line up under one another:
//
//       0.000000  in     1  01
//       0.000180 out     1  08
//       0.000231 out    64  55 AA 55 AA 00 01 ...
//       0.061874 #  dropped 3 bytes received and not read
//
// "out" is the PC to the receiver (the time the bytes were queued), "in" the receiver to
// the PC (the time they were read). Lines are collected in memory and written in large
// pieces, so tracing costs the exchange next to nothing; none is held longer than about a
// second, also while the line is quiet.

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "serial/SerialPort.h"
#include "timecode/Clock.h"

namespace kelvane {

class TracePort final : public SerialPort {
 public:
  // Writes to `sink`, which stays the caller's; `clock` dates the lines.
  TracePort(SerialPort& inner, std::FILE* sink, Clock& clock);
  ~TracePort() override;
  TracePort(const TracePort&) = delete;
  TracePort& operator=(const TracePort&) = delete;

  // A line of text in the trace ("#  text"), for what the caller knows (port, device, file).
  void Note(std::string_view text);
  // Writes what is collected to the sink. False once a write to it has failed.
  bool Flush();
  bool Failed() const { return failed_; }

  void SetCommPort(int port) override { inner_.SetCommPort(port); }
  int CommPort() const override { return inner_.CommPort(); }
  void SetSettings(const std::string& s) override { inner_.SetSettings(s); }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return inner_.PortOpen(); }
  void SetInputMode(int mode) override { inner_.SetInputMode(mode); }
  void Output(std::span<const std::uint8_t> bytes) override;
  using SerialPort::Output;
  int OutBufferCount() const override { return inner_.OutBufferCount(); }
  void WaitForSent(std::chrono::milliseconds d) override { inner_.WaitForSent(d); }
  void SetOutBufferCount(int zero) override;
  int InBufferCount() const override { return inner_.InBufferCount(); }
  void SetInBufferCount(int zero) override;
  void SetInputLen(int count) override { inner_.SetInputLen(count); }
  Bytes Input() override;
  std::string LastError() const override { return inner_.LastError(); }
  bool Lost() const override { return inner_.Lost(); }
  bool ClosedLost() const override { return inner_.ClosedLost(); }
  std::intptr_t ReadinessHandle() const override { return inner_.ReadinessHandle(); }

  // Collected text is written out once it reaches this size or is this old.
  static constexpr std::size_t kFlushSize = 64 * 1024;
  static constexpr std::chrono::seconds kFlushAge{1};

 private:
  void Stamp(const char* what);
  void Record(const char* direction, std::span<const std::uint8_t> bytes);
  void MaybeFlush();

  SerialPort& inner_;
  std::FILE* sink_;
  Clock& clock_;
  std::chrono::steady_clock::time_point start_, lastFlush_;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace kelvane
