#pragma once
// Small steps the commands share: reading with the silence limit, answering with the split
// option, telling a stopped exchange from a failed one, and hexadecimal texts for notes and
// errors.

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

// The PC said nothing for the silence limit.
class Silent : public Failed {
 public:
  using Failed::Failed;
};

// With resync: the PC sent the first byte of another exchange (it was stopped and started
// again); `first` is that byte, for the next exchange.
class NewExchange : public Failed {
 public:
  NewExchange(std::uint8_t b, const std::string& what) : Failed(what), first(b) {}
  std::uint8_t first;
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
  throw Silent("the PC sent nothing for " + std::to_string(timeout.count()) +
               " s while the receiver waited for " + awaiting);
}

// The next n bytes from the PC, which must all come within `timeout`.
inline Bytes NextBytes(Line& line, std::size_t n, std::chrono::seconds timeout,
                       const std::string& awaiting) {
  Bytes b = line.Read(n, SteadyClock::now() + timeout);
  if (b.size() < n)
    throw Silent("the PC sent " + std::to_string(b.size()) + " of the " + std::to_string(n) +
                 " bytes of " + awaiting + " in " + std::to_string(timeout.count()) + " s");
  return b;
}

// A byte the exchange did not expect: with resync, the 08 or 01 that begins another
// exchange ends this one as stopped; anything else is a failure that `what` describes.
[[noreturn]] inline void Unexpected(const Common& c, std::uint8_t b, const std::string& what) {
  if (c.resync && (b == 0x08 || b == 0x01))
    throw NewExchange(b, what + "; the PC began another exchange");
  throw Failed(what);
}

// The noise sent before a frame: the bytes given, else `noise` junk bytes.
inline Bytes Noise(const Common& c, std::uint32_t seed) {
  return c.noiseBytes.empty() ? Junk(c.noise, seed) : c.noiseBytes;
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

// The exchanges one at a time, for `any`, each beginning after the bytes that told it
// apart: a download after its 08, an upload after its first 01, a Temu exchange after the
// reply to its start request. They throw what ends them.
void OneDownload(Line& line, const AcceptOptions& o, Outcome& out);
void OneUpload(Line& line, const ServeOptions& o, Outcome& out);
void OneTemu(Line& line, const TemuOptions& o, Outcome& out);

}  // namespace kelvane::rx
