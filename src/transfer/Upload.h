#pragma once
// The upload: the receiver's program image is read back into the file chosen for it: the
// 64-byte header, told as it arrives, then the 1024 data bytes of each acknowledged block,
// until the receiver's end marker.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "transfer/Exchange.h"
#include "transfer/Protocol.h"

namespace kelvane {

// The pause before each block's acknowledge, without pumping events: the receiver needs a
// moment between the end of its block and the acknowledge, as long as an empty counting loop
// of this many rounds takes (timed once at start-up, see CountingLoopTime).
inline constexpr int kAckPauseRounds = 20000;

// Consecutive silent ticks inside a block after which the block is asked for again.
inline constexpr int kSilentTicksBeforeResend = 6;

// Writes into the path: a new file from the header on, an existing one only once the
// receiver has ended the upload. UploadCompleted, UploadIncomplete, Stopped or FileError.
class Upload final : public Exchange {
 public:
  using Exchange::Exchange;
  ~Upload() override;
  void Begin(TimePoint now) override;
  void Feed(std::span<const std::uint8_t> bytes, TimePoint now) override;
  void Tick(TimePoint now) override;
  void Stop(TimePoint now) override;
  std::size_t Awaiting() const override;
  bool BlockNext() const override;

 private:
  // The length the header announces (positions in the header frame, after the 08).
  struct HeaderFields {
    std::uint32_t announcedLength = 0;  // frame positions 13 to 16, most significant first
    void Take(int pos, std::uint8_t b);
  };

  void TakeHeaderByte(std::uint8_t b, TimePoint now);
  void TakeBlockByte(std::uint8_t b, TimePoint now);
  void HeaderComplete();
  void TellHeader(bool complete);
  void Discard();  // the new file beside the target, while the target is left alone
  void Fail();     // ends with the file table's failure, the target left alone

  bool replacing_ = false;  // the target existed when the upload began
  std::string part_;        // the new file until it took the target's place
  bool inBlocks_ = false;
  int rxPos_ = 0;  // position in the header frame or the block
  int silentTicks_ = 0;
  std::int64_t blockCount_ = 0;
  // The data bytes of the blocks stored so far.
  std::int64_t Received() const {
    return blockCount_ * static_cast<std::int64_t>(wire::kBlockData);
  }
  HeaderFields fields_;
  std::array<std::uint8_t, wire::kHeaderSize> header_{};
  std::array<std::uint8_t, wire::kBlockData> block_{};
};

}  // namespace kelvane
