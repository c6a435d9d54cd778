#pragma once
// Small steps the three commands share: reading with the silence limit, answering with
// the split and garbage options, and hexadecimal texts for notes and errors.

#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>

#include "receiver/Line.h"
#include "receiver/Receiver.h"

namespace kelvane::rx {

// The exchange went other than expected; the text says how.
class Failed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline std::string Hex(std::span<const std::uint8_t> bytes, std::size_t max = 16) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  if (bytes.size() > max) s += " ...";
  return s;
}
inline std::string Hex(std::uint8_t b) { return Hex(std::span<const std::uint8_t>(&b, 1)); }

// The next byte from the PC; a silence of `timeout` ends the run with an error that says
// what was awaited.
inline std::uint8_t Next(Line& line, std::chrono::seconds timeout, const std::string& awaiting) {
  if (auto b = line.ReadByte(SteadyClock::now() + timeout)) return *b;
  throw Failed("the PC sent nothing for " + std::to_string(timeout.count()) + " s while the receiver waited for " +
               awaiting);
}

// Writes an answer: all bytes in one write, or each on its own with a gap when split.
inline void Answer(Line& line, std::span<const std::uint8_t> bytes, bool split) {
  if (!split) {
    line.Write(bytes);
    return;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) line.Wait(SteadyClock::now() + kPieceGap);
    line.Write(bytes[i]);
  }
}

}  // namespace kelvane::rx
