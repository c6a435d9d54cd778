// serve: the receiver sends its program image back to the PC (the PC's upload). It waits
// for the ready byte 01, sends 08 and the 64 header bytes, then the data in blocks of
// 02 00 FF, 1024 bytes (the last one padded with FF), 00 FF, each answered by 10 or by 11
// (send it again), and ends with 03, which the PC answers with 17.

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "files/ImageForm.h"
#include "receiver/Receiver.h"
#include "receiver/Steps.h"
#include "transfer/Protocol.h"

namespace kelvane::rx {

namespace {

using namespace std::chrono;
namespace w = kelvane::wire;

// Bytes of the stalled block sent before the silence.
constexpr std::size_t kStallAt = 500;

Bytes Frame(std::span<const std::uint8_t> data) {
  // 02 00 FF, the data filled up with FF to 1024 bytes, 00 FF.
  Bytes frame(w::kBlockSize, w::kFiller);
  std::copy(std::begin(w::kBlockLead), std::end(w::kBlockLead), frame.begin());
  std::copy_n(data.begin(), std::min(data.size(), w::kBlockData), frame.begin() + 3);
  std::copy(std::begin(w::kBlockTrail), std::end(w::kBlockTrail), frame.end() - 2);
  return frame;
}

class ServeRun {
 public:
  ServeRun(Line& line, const ServeOptions& o, Outcome& out) : line_(line), o_(o), out_(out) {
    out_.exchange = "upload";
  }

  // readyTaken: the PC's first 01 has been read already.
  void Run(bool readyTaken) {
    SplitImage();
    if (!readyTaken) AwaitReady();
    const auto began = SteadyClock::now();
    SendHeader();
    const std::size_t blocks = (data_.size() + w::kBlockData - 1) / w::kBlockData;
    for (std::size_t k = 1; k <= blocks; ++k) {
      SendBlock(k);
      if (o_.hangUpAfter && k == *o_.hangUpAfter) {
        line_.Close();
        out_.notes.push_back("closed the line after block " + std::to_string(k) + " as asked");
        return;
      }
    }
    if (o_.stallBlock && !stalled_)
      throw Failed("the image has no block " + std::to_string(*o_.stallBlock) + " to stall in");
    if (resends_) out_.notes.push_back(std::to_string(resends_) + " blocks sent again");
    SendEnd();
    char took[64];
    std::snprintf(took, sizeof took, "%.3f s from the ready byte to 17",
                  duration<double>(SteadyClock::now() - began).count());
    out_.notes.push_back(took);
  }

 private:
  std::uint8_t NextByte(const std::string& awaiting) {
    return Next(line_, o_.common.timeout, awaiting);
  }

  // The header goes out as it stands behind a length prefix, or at the start of the file.
  void SplitImage() {
    const Bytes& image = o_.image;
    const std::size_t base =
        image.size() >= 4 ? HeaderBase(static_cast<std::int64_t>(image.size()), image) : 0;
    if (image.size() < base + w::kHeaderSize) throw Failed("the image is shorter than a header");
    const auto header = image.begin() + static_cast<std::ptrdiff_t>(base);
    header_.assign(header, header + w::kHeaderSize);
    if (o_.announce)
      for (int i = 0; i < 4; ++i)
        header_[12 + i] = static_cast<std::uint8_t>(*o_.announce >> (24 - 8 * i));
    data_ = std::span(image).subspan(base + w::kHeaderSize);
  }

  // The PC sends one 01 at the start and another at every tick until 08 comes.
  void AwaitReady() {
    for (int readies = 0; readies <= o_.ignoreReady;) {
      const std::uint8_t b = NextByte("the ready byte 01");
      if (b != w::kReady) throw Failed("the PC sent " + Hex(b) + " instead of the ready byte 01");
      ++readies;
    }
    if (o_.ignoreReady)
      out_.notes.push_back(std::to_string(o_.ignoreReady) + " ready bytes left unanswered");
  }

  void SendHeader() {
    if (const Bytes noise = Noise(o_.common, 1); !noise.empty()) line_.Write(noise);
    Bytes first(1 + header_.size(), w::kHeaderFollows);
    std::copy(header_.begin(), header_.end(), first.begin() + 1);
    line_.Write(first);
    if (Answer("10 after the header") != w::kAccepted)
      throw Failed("the PC answered the header with 11");
    headerTaken_ = true;
  }

  // 10 or 11. Ready bytes of ticks that crossed the header are skipped; once the header was
  // taken, a ready byte can only begin another upload.
  std::uint8_t Answer(const std::string& awaiting) {
    for (;;) {
      const std::uint8_t b = NextByte(awaiting);
      if (b == w::kAccepted || b == w::kRefused) return b;
      if (b != w::kReady || headerTaken_)
        Unexpected(o_.common, b,
                   "the PC sent " + Hex(b) + " while the receiver waited for " + awaiting);
    }
  }

  void SendBlock(std::size_t k) {
    const std::size_t at = (k - 1) * w::kBlockData;
    const Bytes frame = Frame(data_.subspan(at, std::min(w::kBlockData, data_.size() - at)));
    const std::string which = "block " + std::to_string(k);
    if (o_.stallBlock && *o_.stallBlock == k && !stalled_)
      Stall(frame, which);
    else
      line_.Write(frame);
    while (Answer("the answer to " + which) == w::kRefused) {
      ++resends_;
      line_.Write(frame);
    }
    out_.blocks = k;
  }

  // Part of the block, then silence: the PC is expected to give up on the block and ask
  // for it again with 11.
  void Stall(const Bytes& frame, const std::string& which) {
    stalled_ = true;
    line_.Write(std::span(frame).first(kStallAt));
    const auto until = SteadyClock::now() + o_.stallTime;
    int asked = 0;
    while (auto b = line_.ReadByte(until))
      if (*b == w::kRefused) ++asked;
    out_.notes.push_back(which + " stalled " + std::to_string(o_.stallTime.count()) +
                         " s, the PC asked for it again " +
                         (asked == 1 ? std::string("once") : std::to_string(asked) + " times"));
    if (asked) ++resends_;
    line_.Write(asked ? std::span<const std::uint8_t>(frame) : std::span(frame).subspan(kStallAt));
  }

  void SendEnd() {
    line_.Write(w::kEnd);
    for (;;) {
      const std::uint8_t b = NextByte("17 after the end byte 03");
      if (b == w::kComplete) break;
      if (b != w::kReady && b != w::kAccepted)
        Unexpected(o_.common, b, "the PC answered the end byte with " + Hex(b) + ", not 17");
    }
    out_.notes.push_back("17 received");
  }

  Line& line_;
  const ServeOptions& o_;
  Outcome& out_;
  Bytes header_;
  std::span<const std::uint8_t> data_;
  bool headerTaken_ = false;
  bool stalled_ = false;
  std::size_t resends_ = 0;
};

}  // namespace

void OneUpload(Line& line, const ServeOptions& o, Outcome& out) {
  ServeRun(line, o, out).Run(true);
}

Outcome RunServe(Line& line, const ServeOptions& o) {
  return Guarded([&](Outcome& out) { ServeRun(line, o, out).Run(false); });
}

}  // namespace kelvane::rx
