#pragma once
// The program download: a program image (or an SDX list container) goes to the receiver
// as its header block and then 1024-byte data blocks, each acknowledged; the receiver's
// verdicts on the header and on the whole image come back in the outcome.
//
// A status byte answers only the question the PC asked last: bytes that came in the same
// read as the answer to an earlier one are dropped, except that the receiver's verdict on
// the image may come in the read that holds the last block's 10.

#include <array>
#include <cstdint>

#include "transfer/Exchange.h"
#include "transfer/Protocol.h"

namespace kelvane {

// Complete, Rejected, HeaderRefused, Stopped, InvalidFile or FileError.
class ProgramDownload final : public Exchange {
 public:
  using Exchange::Exchange;
  void Begin(TimePoint now) override;
  void Feed(std::span<const std::uint8_t> bytes, TimePoint now) override;
  void Stop(TimePoint now) override;

 private:
  enum class State { Ready, HeaderVerdict, Ack, Verdict };
  // Reads and sends the next data block; false when the read failed (the exchange ended).
  bool SendBlock();
  // Takes the verdict on the image from bytes; false when they hold none.
  bool TakeVerdict(std::span<const std::uint8_t> bytes);

  State state_ = State::Ready;
  std::int64_t length_ = 0;
  std::int64_t position_ = 0;  // file bytes sent so far, the header block's included
  bool lastSent_ = false;      // the block in flight is the last one
  std::array<std::uint8_t, wire::kPrefixSize + wire::kHeaderSize> header_{};
  std::size_t headerSize_ = wire::kHeaderSize;
};

}  // namespace kelvane
