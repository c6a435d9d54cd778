#pragma once
// The link primitives every exchange is written on: Flush, Send, the byte poll, the chunk
// poll with the latest chunk, and the time-out flag. Each poll pumps the window's events
// once; the handlers of those events (Stop, the tick, a close request) run inside it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "serial/EchoWatch.h"
#include "serial/SerialPort.h"

namespace kelvane {

class MainView;

class Link {
 public:
  // The pump waits at most this long for the next event when nothing is waiting in the
  // port; bytes, ticks and clicks all end the wait at once.
  static constexpr std::chrono::milliseconds kIdleWait{50};

  Link(SerialPort& serial, MainView& view, bool& timedOut)
      : serial_(serial), view_(view), timedOut_(timedOut) {}

  // Reads Input once with whatever InputLen stands, drops it, then drops the rest.
  void Flush();

  void Send(std::uint8_t byte) { Send(std::span<const std::uint8_t>(&byte, 1)); }
  void Send(std::span<const std::uint8_t> bytes) {
    echo_.Sent(bytes);
    serial_.Output(bytes);
  }

  // Pump once; if a byte is waiting, return element 0 of one read of Input.
  std::optional<std::uint8_t> BytePoll();

  // Pump once; read Input without testing InBufferCount. A read that returns bytes
  // replaces the latest chunk; an empty read leaves it. Returns the bytes read.
  const Bytes& ChunkPoll();

  const Bytes& Latest() const { return latest_; }
  void ClearLatest() { latest_.clear(); }
  bool LatestHas(std::uint8_t b) const;

  // What arrives is what was sent, again and again: a loopback plug or the wrong cable.
  bool Echoing() const { return echo_.Echoing(); }

  void ClearTimeOut() { timedOut_ = false; }
  bool TimedOut() const { return timedOut_; }

  SerialPort& Serial() { return serial_; }

 private:
  void Pump();

  SerialPort& serial_;
  MainView& view_;
  bool& timedOut_;
  Bytes latest_;
  Bytes lastRead_;
  EchoWatch echo_;
};

}  // namespace kelvane
