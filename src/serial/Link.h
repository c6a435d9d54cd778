#pragma once
// The link primitives every exchange is written on: Flush, Send, the byte poll, the chunk
// poll with the latest chunk, and the time-out flag. A poll pumps the window's events once
// (the byte poll, while bytes keep waiting, only every kPollsPerPump polls); the handlers of
// those events (Stop, the tick, a close request) run inside the pump.

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
  // While every byte poll leaves more bytes waiting, the events are pumped once in this many
  // polls: a pump costs far more than a byte, and a few hundred buffered bytes are taken in
  // microseconds, so Stop, the tick and a close request still get through at once.
  static constexpr int kPollsPerPump = 256;

  Link(SerialPort& serial, MainView& view, bool& timedOut)
      : serial_(serial), view_(view), timedOut_(timedOut) {}

  // Reads Input once with whatever InputLen stands, drops it, then drops the rest.
  void Flush();

  void Send(std::uint8_t byte) { Send(std::span<const std::uint8_t>(&byte, 1)); }
  void Send(std::span<const std::uint8_t> bytes) {
    echo_.Sent(bytes);
    serial_.Output(bytes);
  }

  // Pump once (see kPollsPerPump); if a byte is waiting, return element 0 of one read of
  // Input. InBufferCount is asked once.
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
  bool moreWaiting_ = false;  // the last byte poll left bytes waiting
  int unpumped_ = 0;          // byte polls since the last pump
  Bytes latest_;
  Bytes lastRead_;
  EchoWatch echo_;
};

}  // namespace kelvane
