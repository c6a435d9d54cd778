// serve: the receiver sends its program image back to the PC (the PC's upload). It waits
// for the ready byte 01, sends 08 and the 64 header bytes, then the data in blocks of
// 02 00 FF, 1024 bytes (the last one padded with FF), 00 FF, each answered by 10 or by 11
// (send it again), and ends with 03, which the PC answers with 17.

#include <algorithm>
#include <fstream>
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

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw Failed("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes Frame(std::span<const std::uint8_t> data) {
  // 02 00 FF, the data filled up with FF to 1024 bytes, 00 FF.
  Bytes frame(w::kBlockSize, w::kFiller);
  std::copy(std::begin(w::kBlockLead), std::end(w::kBlockLead), frame.begin());
  std::copy_n(data.begin(), std::min(data.size(), w::kBlockData), frame.begin() + 3);
  std::copy(std::begin(w::kBlockTrail), std::end(w::kBlockTrail), frame.end() - 2);
  return frame;
}

}  // namespace

Outcome RunServe(Line& line, const ServeOptions& o) {
  Outcome out;
  auto next = [&](const std::string& awaiting) { return Next(line, o.common.timeout, awaiting); };
  try {
    const Bytes image = ReadFile(o.imagePath);
    // A prefixed image sends the header behind its length prefix.
    const std::size_t base = image.size() >= 4 ? HeaderBase(static_cast<std::int64_t>(image.size()), image) : 0;
    if (image.size() < base + w::kHeaderSize) throw Failed(o.imagePath + " is shorter than a header");
    Bytes header(image.begin() + static_cast<std::ptrdiff_t>(base),
                 image.begin() + static_cast<std::ptrdiff_t>(base + w::kHeaderSize));
    if (o.announce)
      for (int i = 0; i < 4; ++i) header[12 + i] = static_cast<std::uint8_t>(*o.announce >> (24 - 8 * i));
    const std::span<const std::uint8_t> data(image.begin() + static_cast<std::ptrdiff_t>(base + w::kHeaderSize), image.end());

    // Ready bytes: the PC sends one at the start and another at every tick until 08 comes.
    int readies = 0;
    for (;;) {
      const std::uint8_t b = next("the ready byte 01");
      if (b != w::kReady) throw Failed("the PC sent " + Hex(b) + " instead of the ready byte 01");
      if (++readies > o.ignoreReady) break;
    }
    if (o.ignoreReady) out.notes.push_back(std::to_string(o.ignoreReady) + " ready bytes left unanswered");
    if (o.common.noise) line.Write(Junk(o.common.noise));
    // 08 and the header in one write. Built at its full size: growing a one-byte vector by
    // insert trips a false -Warray-bounds of GCC 12.
    Bytes first(1 + header.size());
    first[0] = w::kHeaderFollows;
    std::copy(header.begin(), header.end(), first.begin() + 1);
    line.Write(first);

    // Answers to the header and to each block; stray ready bytes from ticks are skipped.
    auto answer = [&](const std::string& awaiting) {
      for (;;) {
        const std::uint8_t b = next(awaiting);
        if (b == w::kAccepted || b == w::kRefused) return b;
        if (b != w::kReady) throw Failed("the PC sent " + Hex(b) + " while the receiver waited for " + awaiting);
      }
    };
    if (answer("10 after the header") != w::kAccepted) throw Failed("the PC answered the header with 11");

    const std::size_t blocks = (data.size() + w::kBlockData - 1) / w::kBlockData;
    bool stalled = false;
    std::size_t resends = 0;
    for (std::size_t k = 1; k <= blocks; ++k) {
      const auto part = data.subspan((k - 1) * w::kBlockData, std::min(w::kBlockData, data.size() - (k - 1) * w::kBlockData));
      const Bytes frame = Frame(part);
      const std::string which = "block " + std::to_string(k);
      if (o.stallBlock && *o.stallBlock == k && !stalled) {
        stalled = true;
        line.Write(std::span(frame).first(kStallAt));
        // Silent: the PC is expected to give up on the block and ask for it again.
        const auto until = SteadyClock::now() + o.stallTime;
        int asked = 0;
        while (auto b = line.ReadByte(until))
          if (*b == w::kRefused) ++asked;
        out.notes.push_back(which + " stalled " + std::to_string(o.stallTime.count()) + " s, the PC asked for it again " +
                            (asked == 1 ? std::string("once") : std::to_string(asked) + " times"));
        if (asked) {
          ++resends;
          line.Write(frame);
        } else {
          line.Write(std::span(frame).subspan(kStallAt));
        }
      } else {
        line.Write(frame);
      }
      while (answer("the answer to " + which) == w::kRefused) {
        ++resends;
        line.Write(frame);
      }
      out.blocks = k;
      if (o.hangUpAfter && k == *o.hangUpAfter) {
        line.Close();
        out.notes.push_back("closed the line after block " + std::to_string(k) + " as asked");
        return out;
      }
    }
    if (o.stallBlock && !stalled) throw Failed("the image has no block " + std::to_string(*o.stallBlock) + " to stall in");
    if (resends) out.notes.push_back(std::to_string(resends) + " blocks sent again");
    line.Write(w::kEnd);
    for (;;) {
      const std::uint8_t b = next("17 after the end byte 03");
      if (b == w::kComplete) break;
      if (b != w::kReady && b != w::kAccepted) throw Failed("the PC answered the end byte with " + Hex(b) + ", not 17");
    }
    out.notes.push_back("17 received");
  } catch (const std::exception& e) {
    out.ok = false;
    out.reason = e.what();
  }
  return out;
}

}  // namespace kelvane::rx
