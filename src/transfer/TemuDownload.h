#pragma once
// The Temu download: the receiver leads. It asks for a start, for byte ranges of the
// conditional-access file and for the PC's date and time, and ends the exchange itself;
// the PC answers each complete request and never sends anything unasked.

#include <array>
#include <cstdint>
#include <vector>

#include "transfer/Exchange.h"
#include "transfer/Protocol.h"

namespace kelvane {

// Read offsets from here on are served like offsets beyond the end of the file.
inline constexpr std::int64_t kTemuOffsetLimit = std::int64_t{1} << 31;

// A request of the receiver, 02 code ... 03, assembled from the reads it arrives in.
// Positions 2 and 8 are where a complete request has its 03 (short requests and the read
// request); the reset clears them so that an old 03 does not end the next request early.
class RequestBuffer {
 public:
  // Stores a read: a new request from its first 02 on (bytes in front are dropped), a
  // continuation appended. Never writes past the buffer: what does not fit is noted, and
  // a request that is still incomplete then is dropped (Grow).
  void Store(std::span<const std::uint8_t> chunk);
  // The request is not complete yet: keep what was just stored, unless it did not fit.
  void Grow();
  void Reset();

  std::uint8_t operator[](std::size_t pos) const { return bytes_[pos]; }
  std::size_t Stored() const { return stored_; }

 private:
  std::array<std::uint8_t, wire::kTemuRequestBuffer> bytes_{};
  std::size_t stored_ = 0;
  std::size_t justStored_ = 0;
  bool overflowed_ = false;
};

// Serves the path. TemuEnded (with the requests served), Stopped or FileError.
class TemuDownload final : public Exchange {
 public:
  using Exchange::Exchange;
  void Begin(TimePoint now) override;
  void Feed(std::span<const std::uint8_t> bytes, TimePoint now) override;
  void Stop(TimePoint now) override;

 private:
  bool SendReadReply();  // false, with nothing sent, when the file cannot be read
  void SendTimeReply();
  Outcome Counted(Outcome::Kind kind) const;

  RequestBuffer req_;
  std::vector<std::uint8_t> payload_;
  std::int64_t length_ = 0;
  std::int64_t served_ = 0;
  bool heard_ = false;
};

}  // namespace kelvane
