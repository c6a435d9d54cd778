#pragma once
// Tells a line that gives back what the PC sends (a loopback plug, a cable that ties the
// PC's transmit line to its receive line) from a receiver: the bytes that arrive are, in
// order, the bytes that were sent, several times in a row. A receiver never answers with the
// PC's own bytes for long: any other byte starts the count again.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>

namespace kelvane {

class EchoWatch {
 public:
  // Echoed bytes in a row, with nothing else among them, before the line counts as echoing.
  static constexpr int kEchoesToTell = 3;

  void Sent(std::span<const std::uint8_t> bytes);
  void Received(std::span<const std::uint8_t> bytes);
  // Bytes waiting to be read are dropped: what was sent before may no longer come back.
  void Reset();

  bool Echoing() const { return echoed_ >= kEchoesToTell; }

 private:
  static constexpr std::size_t kRemembered = 4096;  // sent bytes not yet come back
  std::deque<std::uint8_t> awaited_;
  int echoed_ = 0;
};

// The words for an echoing line, for the status line and the command line.
inline constexpr const char* kLineEchoes =
    "The line gives back what is sent: a loopback plug or the wrong cable, not a receiver";

}  // namespace kelvane
