// accept: the receiver takes a program image (or a channel list container). It announces
// ready, reads 08 and the header block, answers the chosen header verdict, acknowledges
// every block after checking its frame bytes, and answers the 03 with the final verdict:
// 15 when a list container's byte sum differs from its header's, 16 when the image differs
// from the one expected, else the chosen one.
// An 03 before the blocks that DataLength announces ends a download the PC stopped: it
// gets no verdict and is never reported complete.

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "files/ListContainer.h"
#include "receiver/Receiver.h"
#include "receiver/Steps.h"
#include "transfer/Protocol.h"

namespace kelvane::rx {

namespace {

using namespace std::chrono;
namespace w = kelvane::wire;

// Ready is announced again at this interval until the PC answers: bytes written before
// the PC opens its end are discarded by its open.
constexpr milliseconds kReadyRepeat{100};

constexpr std::uint8_t kMagic[4] = {0x55, 0xAA, 0x55, 0xAA};

bool MagicAt(const Bytes& b, std::size_t at) {
  return b.size() >= at + 4 && std::equal(kMagic, kMagic + 4, b.begin() + at);
}

std::uint32_t Be32(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

class AcceptRun {
 public:
  AcceptRun(Line& line, const AcceptOptions& o, Outcome& out, int index)
      : line_(line), o_(o), out_(out), index_(index) {
    out_.exchange = "download";
  }

  // One download; false when the line was closed on purpose and no more can follow.
  // headerStarted: its 08 has been read already.
  bool Run(bool headerStarted = false) {
    if (!headerStarted) AwaitHeaderStart();
    const auto began = SteadyClock::now();
    ReadHeader();
    if (!AnswerHeader()) return true;
    if (o_.silentFrom && *o_.silentFrom == 0) return GoSilent("before the header verdict");
    switch (ReceiveBlocks()) {
      case Data::Closed: return false;
      case Data::Silent: return GoSilent("at block " + std::to_string(out_.blocks));
      case Data::Cut: return true;
      case Data::Complete: break;
    }
    if (!joined_) Judge();
    AnswerEnd();
    char took[64];
    std::snprintf(took, sizeof took, "%.3f s from 08 to the final verdict",
                  duration<double>(SteadyClock::now() - began).count());
    out_.notes.push_back(took);
    Save();
    if (!fault_.empty() && !o_.corrupt) throw Failed(fault_);
    return true;
  }

 private:
  enum class Data { Complete, Cut, Silent, Closed };

  std::uint8_t NextByte(const std::string& awaiting) {
    return Next(line_, o_.common.timeout, awaiting);
  }
  Bytes NextRun(std::size_t n, const std::string& awaiting) {
    return NextBytes(line_, n, o_.common.timeout, awaiting);
  }

  void Say(std::span<const std::uint8_t> bytes) {
    if (o_.garbage) line_.Write(Junk(o_.garbage, static_cast<std::uint32_t>(out_.blocks + 7)));
    Answer(line_, bytes, o_.common.split);
  }

  void AwaitHeaderStart() {
    const Bytes noise = Noise(o_.common, static_cast<std::uint32_t>(index_ + 1));
    const auto give_up = SteadyClock::now() + o_.common.timeout;
    std::optional<std::uint8_t> b;
    while (!b) {
      line_.DiscardUnread();
      if (!noise.empty()) line_.Write(noise);
      line_.Write(o_.ready);
      b = line_.ReadByte(SteadyClock::now() + kReadyRepeat);
      // In the endless mode the receiver waits for the next PC as long as it takes.
      if (!b && o_.count != 0 && SteadyClock::now() >= give_up)
        throw Failed("no answer to the ready announcement " + Hex(o_.ready) + " for " +
                     std::to_string(o_.common.timeout.count()) + " s");
    }
    std::size_t stray = 0;
    while (*b != w::kHeaderFollows) {
      ++stray;
      b = NextByte("08 (header follows)");
    }
    if (stray) out_.notes.push_back(std::to_string(stray) + " stray bytes before 08");
  }

  // The PC sends 68 bytes for a prefixed image, which it tells by the file's length. The
  // receiver sees only the bytes: a block that does not start with the magic is taken as
  // prefixed, and the magic must then follow the 4-byte length prefix.
  void ReadHeader() {
    header_ = NextRun(w::kHeaderSize, "the header block");
    bool prefixed = o_.form == AcceptOptions::Form::Prefixed;
    if (o_.form == AcceptOptions::Form::Detect && !MagicAt(header_, 0)) prefixed = true;
    if (prefixed) {
      const Bytes rest = NextRun(w::kPrefixSize, "the last 4 bytes of a prefixed header block");
      header_.insert(header_.end(), rest.begin(), rest.end());
    }
    base_ = prefixed ? w::kPrefixSize : 0;
    if (!MagicAt(header_, base_))
      throw Failed("the header block has no 55 AA 55 AA at offset 0 or 4: " + Hex(header_));
    dataLength_ = Be32(header_, base_ + 12);
    out_.notes.push_back(std::string(prefixed ? "prefixed" : "plain") + " header, DataLength " +
                         std::to_string(dataLength_));
  }

  bool AnswerHeader() {
    Say(o_.verdict);
    out_.notes.push_back("header verdict " + Hex(o_.verdict));
    return std::find(o_.verdict.begin(), o_.verdict.end(), w::kAccepted) != o_.verdict.end();
  }

  // The blocks up to the 03.
  Data ReceiveBlocks() {
    const std::uint64_t counted = o_.length ? *o_.length : dataLength_;
    const std::size_t expected = static_cast<std::size_t>(counted / w::kBlockData + 1);
    std::size_t blocks = 0;
    for (;;) {
      const std::string which = "block " + std::to_string(blocks + 1);
      const std::uint8_t first = NextByte(which + " or the end byte 03");
      if (first == w::kEnd) break;
      if (first != w::kStart)
        Unexpected(o_.common, first, which + " starts with " + Hex(first) + ", not 02");
      Bytes frame{first};
      const Bytes rest = NextRun(w::kBlockSize - 1, which);
      frame.insert(frame.end(), rest.begin(), rest.end());
      if (!std::equal(w::kBlockLead, w::kBlockLead + 3, frame.begin()) ||
          !std::equal(w::kBlockTrail, w::kBlockTrail + 2, frame.end() - 2))
        throw Failed(which + " has the frame bytes " + Hex(std::span(frame).first(3)) + " ... " +
                     Hex(std::span(frame).last(2)) + " instead of 02 00 FF ... 00 FF");
      data_.insert(data_.end(), frame.begin() + 3, frame.end() - 2);
      if (o_.corrupt && *o_.corrupt < data_.size() && data_.size() - *o_.corrupt <= w::kBlockData) {
        data_[*o_.corrupt] ^= 1;
        out_.notes.push_back("flipped a bit of data byte " + std::to_string(*o_.corrupt));
      }
      out_.blocks = ++blocks;
      if (o_.hangUpAfter && blocks == *o_.hangUpAfter) {
        line_.Close();
        out_.notes.push_back("closed the line after block " + std::to_string(blocks) + " as asked");
        return Data::Closed;
      }
      if (o_.silentFrom && blocks >= *o_.silentFrom) return Data::Silent;
      if (o_.ackDelay.count()) line_.Wait(SteadyClock::now() + o_.ackDelay);
      if ((o_.join && blocks == expected) || (o_.joinAt && blocks == *o_.joinAt)) {
        Judge();
        Bytes joined{w::kAccepted};
        joined.insert(joined.end(), verdict_.begin(), verdict_.end());
        line_.Write(joined);  // one write, whatever --split says
        joined_ = true;
        out_.notes.push_back("10 of block " + std::to_string(blocks) +
                             " joined with the final verdict " + Hex(verdict_));
        // A verdict before the last block is a stale one: the receiver says no more.
        if (o_.joinAt) return Data::Silent;
      } else {
        Say(std::span(&w::kAccepted, 1));
      }
    }
    if (blocks < expected) {
      // The PC was stopped: what came is no image, and no verdict is owed.
      out_.stopped = true;
      out_.notes.push_back("the PC ended the data after " + std::to_string(blocks) + " of " +
                           std::to_string(expected) + " blocks: no final verdict");
      return Data::Cut;
    }
    if (o_.length && blocks != expected)
      throw Failed(std::to_string(blocks) + " blocks came for " + std::to_string(*o_.length) +
                   " data bytes, not " + std::to_string(expected));
    return Data::Complete;
  }

  // The checks behind the final verdict: sets it, and what failed (or nothing).
  void Judge() {
    verdict_ = o_.final;
    fault_ = Fault();
  }
  std::string Fault() {
    const auto header = std::span(header_).subspan(base_);
    const auto data = std::span(data_).first(std::min<std::size_t>(dataLength_, data_.size()));
    if (const auto stated = StatedListChecksum(header)) {
      ListChecksum sum;
      sum.Add(data);
      if (sum.Value() != *stated) {
        verdict_ = {w::kChecksumError};
        return "the list's byte sum is " +
               Hex(Bytes{std::uint8_t(sum.Value() >> 8), std::uint8_t(sum.Value())}) +
               ", its header says " + Hex(header.subspan(6, 2));
      }
    }
    if (o_.expect) {
      Bytes got = header_;
      got.insert(got.end(), data_.begin(), data_.end());
      const Bytes& want = *o_.expect;
      const bool same = got.size() >= want.size() &&
                        std::equal(want.begin(), want.end(), got.begin()) &&
                        std::all_of(got.begin() + static_cast<std::ptrdiff_t>(want.size()),
                                    got.end(), [](std::uint8_t b) { return b == w::kFiller; });
      if (!same) {
        verdict_ = {w::kVerifyError};
        const auto at =
            std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
        return "the image differs from the one expected at byte " + std::to_string(at);
      }
    }
    return {};
  }

  void AnswerEnd() {
    if (!joined_) {
      Say(verdict_);
      out_.notes.push_back("final verdict " + Hex(verdict_));
    } else if (o_.resendFinal) {
      line_.Wait(SteadyClock::now() + *o_.resendFinal);
      Say(verdict_);
      out_.notes.push_back("final verdict sent again");
    }
  }

  // Consumes whatever the PC sends until it has been quiet for the time-out or closes.
  bool GoSilent(const std::string& where) {
    Bytes after;
    try {
      after = line_.DrainQuiet(duration_cast<milliseconds>(o_.common.timeout),
                               SteadyClock::time_point::max());
    } catch (const PeerClosed&) {
      out_.notes.push_back("the PC closed the line");
    }
    const bool end = std::find(after.begin(), after.end(), w::kEnd) != after.end();
    out_.notes.push_back("went silent " + where + " as asked; the PC then sent " +
                         std::to_string(after.size()) + " bytes" + (end ? " with an 03" : ""));
    return false;
  }

  void Save() {
    if (o_.length) {
      if (data_.size() < *o_.length)
        throw Failed("only " + std::to_string(data_.size()) + " data bytes came, " +
                     std::to_string(*o_.length) + " expected");
      const auto fill = data_.begin() + static_cast<std::ptrdiff_t>(*o_.length);
      const auto bad =
          std::find_if(fill, data_.end(), [](std::uint8_t b) { return b != w::kFiller; });
      if (bad != data_.end())
        throw Failed("the last block's filler after data byte " + std::to_string(*o_.length) +
                     " is not all FF: " + Hex(std::span(bad, data_.end())) + " at data byte " +
                     std::to_string(bad - data_.begin()));
      data_.erase(fill, data_.end());
    }
    if (o_.savePath.empty()) return;
    std::ofstream f(o_.savePath, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(header_.data()),
            static_cast<std::streamsize>(header_.size()));
    f.write(reinterpret_cast<const char*>(data_.data()),
            static_cast<std::streamsize>(data_.size()));
    if (!f) throw Failed("cannot write " + o_.savePath);
  }

  Line& line_;
  const AcceptOptions& o_;
  Outcome& out_;
  int index_;
  Bytes header_, data_;
  std::size_t base_ = 0;
  std::uint32_t dataLength_ = 0;
  bool joined_ = false;
  std::vector<std::uint8_t> verdict_;
  std::string fault_;
};

}  // namespace

void OneDownload(Line& line, const AcceptOptions& o, Outcome& out) {
  AcceptRun(line, o, out, 0).Run(true);
}

Outcome RunAccept(Line& line, const AcceptOptions& o) {
  Outcome out;
  out.exchange = "download";
  std::size_t total = 0;
  for (int n = 0; o.count == 0 || n < o.count; ++n) {
    Outcome one;
    try {
      const bool more = AcceptRun(line, o, one, n).Run();
      if (one.stopped) {
        one.ok = false;
        one.reason = "download " + std::to_string(n + 1) + " was stopped by the PC";
      }
      if (o.each) o.each(one);
      total += one.blocks;
      out.notes.insert(out.notes.end(), one.notes.begin(), one.notes.end());
      if (!one.ok && o.count != 0) {
        out.ok = false;
        out.reason = one.reason;
        break;
      }
      if (!more) break;
    } catch (const PeerClosed& e) {
      total += one.blocks;
      if (o.count != 0) {
        out.ok = false;
        out.reason = e.what() + std::string(" during download ") + std::to_string(n + 1);
        break;
      }
      try {
        line.HoldAgain();  // endless mode: wait for the PC to come back
      } catch (const LineError& again) {
        out.ok = false;
        out.reason = again.what();
        break;
      }
    } catch (const std::exception& e) {
      total += one.blocks;
      one.ok = false;
      one.reason = e.what();
      if (o.each) o.each(one);
      out.notes.insert(out.notes.end(), one.notes.begin(), one.notes.end());
      out.ok = false;
      out.reason = e.what();
      if (o.count != 0) break;
      out.ok = true;  // endless mode: report and go on with the next download
      out.notes.push_back(std::string("download failed: ") + e.what());
    }
  }
  out.blocks = total;
  return out;
}

}  // namespace kelvane::rx
