#pragma once
// A serial object that passes everything to the real one and counts the bytes read, so that
// the console can end a wait in which the receiver stays silent. The clock is read when the
// silence is asked for (once a pump), not for every byte.

#include <chrono>

#include "serial/SerialPort.h"

namespace kelvane::cli {

class WatchedPort final : public SerialPort {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WatchedPort(SerialPort& inner) : inner_(inner) {}

  // Starts the silence count afresh (a transfer begins).
  void Rearm() {
    lastArrival_ = Clock::now();
    bytesSeen_ = bytesIn_;
  }
  // Since the first time the silence was asked for after the last byte read.
  Clock::duration Silence() {
    const auto now = Clock::now();
    if (bytesIn_ != bytesSeen_) lastArrival_ = now, bytesSeen_ = bytesIn_;
    return now - lastArrival_;
  }
  long long BytesIn() const { return bytesIn_; }
  long long BytesOut() const { return bytesOut_; }

  void SetCommPort(int port) override { inner_.SetCommPort(port); }
  int CommPort() const override { return inner_.CommPort(); }
  void SetSettings(const std::string& s) override { inner_.SetSettings(s); }
  bool SetPortOpen(bool open) override { return inner_.SetPortOpen(open); }
  bool PortOpen() const override { return inner_.PortOpen(); }
  void SetInputMode(int mode) override { inner_.SetInputMode(mode); }
  void Output(std::span<const std::uint8_t> bytes) override {
    bytesOut_ += static_cast<long long>(bytes.size());
    inner_.Output(bytes);
  }
  using SerialPort::Output;
  int OutBufferCount() const override { return inner_.OutBufferCount(); }
  void SetOutBufferCount(int zero) override { inner_.SetOutBufferCount(zero); }
  int InBufferCount() const override { return inner_.InBufferCount(); }
  void SetInBufferCount(int zero) override { inner_.SetInBufferCount(zero); }
  void SetInputLen(int count) override { inner_.SetInputLen(count); }
  Bytes Input() override {
    Bytes b = inner_.Input();
    bytesIn_ += static_cast<long long>(b.size());
    return b;
  }
  std::optional<std::uint8_t> InputByte() override {
    const auto b = inner_.InputByte();
    if (b) ++bytesIn_;
    return b;
  }
  std::string LastError() const override { return inner_.LastError(); }
  bool Lost() const override { return inner_.Lost(); }
  bool ClosedLost() const override { return inner_.ClosedLost(); }

 private:
  SerialPort& inner_;
  Clock::time_point lastArrival_ = Clock::now();
  long long bytesIn_ = 0, bytesOut_ = 0;
  long long bytesSeen_ = 0;  // bytesIn_ when the silence was last asked for
};

}  // namespace kelvane::cli
