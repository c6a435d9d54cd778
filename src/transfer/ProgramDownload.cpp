#include "transfer/ProgramDownload.h"

#include <algorithm>
#include <initializer_list>

#include "files/ImageForm.h"

namespace kelvane {

namespace {

using wire::kBlockData;
using Span = std::span<const std::uint8_t>;

bool Has(Span bytes, std::uint8_t b) {
  return std::find(bytes.begin(), bytes.end(), b) != bytes.end();
}

// The first of the wanted bytes in bytes; bytes.size() when none is there.
std::size_t FirstOf(Span bytes, std::initializer_list<std::uint8_t> wanted) {
  const auto it = std::find_first_of(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
  return static_cast<std::size_t>(it - bytes.begin());
}

}  // namespace

void ProgramDownload::Begin(TimePoint now) {
  auto& files = x_.files;
  // The file: opened for reading only, never created; a file that cannot be read or that
  // cannot even hold its header block is refused before anything is sent.
  if (!OpenFile(OpenMode::Read)) return Finish(FileFailure());
  length_ = files.Length(File());
  const std::size_t firstRead = files.Read(File(), std::span(header_).first(wire::kPrefixSize));
  if (files.ErrorPending()) return Finish(FileFailure());
  headerSize_ = wire::kHeaderSize +
                (IsPrefixed(length_, std::span(header_).first(firstRead)) ? wire::kPrefixSize : 0);
  if (length_ < static_cast<std::int64_t>(headerSize_)) return Finish(Outcome::Invalid(x_.path));
  // The header block is read before the receiver is spoken to.
  files.Seek(File(), 0);
  files.Read(File(), std::span(header_).first(headerSize_));
  if (files.ErrorPending()) return Finish(FileFailure());
  position_ = static_cast<std::int64_t>(headerSize_);
  x_.events.WaitingForReceiver(now);
}

bool ProgramDownload::SendBlock() {
  // R bytes after the header go as R div 1024 full blocks and one last block with the rest
  // (none when R is a multiple of 1024), filled up with FF.
  // The block goes out in one write: lead, data and trail reach the line together.
  constexpr std::size_t kLead = std::size(wire::kBlockLead);
  std::array<std::uint8_t, kLead + kBlockData + std::size(wire::kBlockTrail)> block{};
  std::copy(std::begin(wire::kBlockLead), std::end(wire::kBlockLead), block.begin());
  std::copy(std::begin(wire::kBlockTrail), std::end(wire::kBlockTrail),
            block.begin() + kLead + kBlockData);
  const auto data = std::span(block).subspan(kLead, kBlockData);
  const std::size_t got = x_.files.Read(File(), data);
  if (x_.files.ErrorPending()) {
    // The receiver gets its end of data; a verdict it may give on what it has is not taken
    // for the image's.
    x_.line.Send(wire::kEnd);
    Finish(FileFailure());
    return false;
  }
  std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.end(), wire::kFiller);
  lastSent_ = got < kBlockData;
  position_ += static_cast<std::int64_t>(got);
  x_.line.Send(block);
  return true;
}

bool ProgramDownload::TakeVerdict(Span bytes) {
  // Several verdicts can come together; each part has its own box.
  Verdict v;
  v.checksumError = Has(bytes, wire::kChecksumError);
  v.verifyError = Has(bytes, wire::kVerifyError);
  v.complete = Has(bytes, wire::kComplete);
  if (!v.checksumError && !v.verifyError && !v.complete) return false;
  Outcome o = Outcome::Of(v.checksumError || v.verifyError ? Outcome::Kind::Rejected
                                                           : Outcome::Kind::Complete);
  o.verdict = v;
  Finish(o);
  return true;
}

void ProgramDownload::Feed(Span bytes, TimePoint now) {
  if (Done()) return;
  auto& line = x_.line;
  switch (state_) {
    case State::Ready:
      // Bytes after the 01 in the same read came before the header was asked about.
      if (!Has(bytes, wire::kReady)) return;
      x_.events.WaitingForReceiver(std::nullopt);
      line.Send(wire::kHeaderFollows);
      line.Send(std::span(header_).first(headerSize_));
      state_ = State::HeaderVerdict;
      return;
    case State::HeaderVerdict: {
      const Span verdict =
          bytes.subspan(FirstOf(bytes, {wire::kAccepted, wire::kRefused, wire::kHwRefused,
                                        wire::kSwRefused, wire::kModelRefused}));
      if (verdict.empty()) return;
      if (!Has(verdict, wire::kAccepted)) {
        // Refused (11 alone says no more than that).
        Outcome refused = Outcome::Of(Outcome::Kind::HeaderRefused);
        refused.refusal.hw = Has(verdict, wire::kHwRefused);
        refused.refusal.sw = Has(verdict, wire::kSwRefused);
        refused.refusal.model = Has(verdict, wire::kModelRefused);
        return Finish(refused);
      }
      if (SendBlock()) state_ = State::Ack;
      return;
    }
    case State::Ack: {
      const std::size_t at = FirstOf(bytes, {wire::kAccepted});
      if (at == bytes.size()) return;  // any other status byte is no answer to the block
      ShowProgress(position_, position_, length_, now);
      if (!lastSent_) {
        SendBlock();  // what came after the 10 came before this block
        return;
      }
      line.Send(wire::kEnd);
      state_ = State::Verdict;
      // The verdict on the image may come in the same read as the last block's 10.
      TakeVerdict(bytes.subspan(at + 1));
      return;
    }
    case State::Verdict: TakeVerdict(bytes); return;
  }
}

void ProgramDownload::Stop(TimePoint now) {
  (void)now;
  if (Done()) return;
  // The receiver always gets its end of data, unless it has it already.
  if (state_ != State::Verdict) x_.line.Send(wire::kEnd);
  Finish(Outcome::Of(Outcome::Kind::Stopped));
}

}  // namespace kelvane
