#pragma once
// A serial object that passes everything to the real one and remembers when the exchange
// last made progress, so that the console can end a wait that goes nowhere: a silent
// receiver, a line that only gives back what is sent, a receiver that sends only noise.
// The exchange has made progress when it sends something other than a repetition of its
// ready byte or its request to send a block again; bytes that merely arrive do not count.

#include <chrono>

#include "serial/SerialPort.h"
#include "transfer/Protocol.h"

namespace kelvane::cli {

class WatchedPort final : public SerialPort {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WatchedPort(SerialPort& inner) : inner_(inner) {}

  // Starts the count afresh (a transfer begins).
  void Rearm() { lastProgress_ = Clock::now(); }
  Clock::duration SinceProgress() const { return Clock::now() - lastProgress_; }
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
    const bool repeat =
        bytes.size() == 1 && (bytes[0] == wire::kReady || bytes[0] == wire::kRefused);
    if (!repeat && !bytes.empty()) lastProgress_ = Clock::now();
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
  std::intptr_t ReadinessHandle() const override { return inner_.ReadinessHandle(); }

 private:
  SerialPort& inner_;
  Clock::time_point lastProgress_ = Clock::now();
  long long bytesIn_ = 0, bytesOut_ = 0;
};

}  // namespace kelvane::cli
