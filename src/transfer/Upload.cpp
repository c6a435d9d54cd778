#include "transfer/Upload.h"

#include <algorithm>

#include "files/ImageFile.h"

namespace kelvane {

namespace {

using wire::kBlockData;
using wire::kBlockSize;
using wire::kHeaderSize;

constexpr int kHeaderFrame = 1 + static_cast<int>(kHeaderSize);  // 08 and the header
constexpr int kDataFirst = 3;                                    // block bytes 3 to 1026
constexpr int kDataEnd = kDataFirst + static_cast<int>(kBlockData);
// The header frame begins 08 55 AA 55 AA (a program image's first bytes): an 08 of line
// noise before it is not taken for its start.
constexpr std::uint8_t kHeaderStart[] = {wire::kHeaderFollows, 0x55, 0xAA, 0x55, 0xAA};
constexpr int kHeaderStartSize = static_cast<int>(std::size(kHeaderStart));

}  // namespace

void Upload::HeaderFields::Take(int pos, std::uint8_t b) {
  if (pos >= 13 && pos <= 16) announcedLength = announcedLength * 256u + b;
}

Upload::~Upload() { Discard(); }

void Upload::Begin(TimePoint now) {
  // The image is written to a new file beside the target. A new name takes it once the
  // receiver's header has come, so that the blocks received stay there whatever ends the
  // upload; an existing file is replaced only once the receiver has ended the upload and
  // stays as it was on anything else (a silent receiver, Stop, a lost line, a failure). Nothing
  // of an older, longer file survives behind the new image.
  replacing_ = x_.files.Exists(x_.path);
  part_ = OpenFileBeside();
  if (part_.empty()) return Finish(FileFailure());
  x_.line.Send(wire::kReady);
  x_.events.WaitingForReceiver(now);
}

void Upload::Discard() {
  if (part_.empty()) return;
  CloseFile();
  x_.files.Delete(part_);
  x_.files.ClearError();
  part_.clear();
}

void Upload::Fail() {
  const Outcome failed = FileFailure();
  Discard();
  Finish(failed);
}

void Upload::TellHeader(bool complete) {
  // The texts of a chosen image, by the same rule: header bytes that have not come count as
  // zero.
  const std::size_t got =
      complete ? header_.size()
               : static_cast<std::size_t>(std::clamp(rxPos_ - 1, 0, kHeaderFrame - 1));
  const ImageTexts texts = HeaderTexts(std::span<const std::uint8_t>(header_).first(got));
  UploadHeaderTexts t;
  t.hw = texts.hw;
  t.sw = texts.sw;
  t.model = texts.model;
  t.announcedLength = fields_.announcedLength;
  t.complete = complete;
  x_.events.UploadHeader(t);
}

void Upload::Feed(std::span<const std::uint8_t> bytes, TimePoint now) {
  if (!bytes.empty()) silentTicks_ = 0;
  for (const std::uint8_t b : bytes) {
    if (Done()) return;
    if (inBlocks_)
      TakeBlockByte(b, now);
    else
      TakeHeaderByte(b, now);
  }
}

std::size_t Upload::Awaiting() const {
  // A block that has begun comes whole or not at all; what comes between blocks (a block
  // or the end marker) cannot be told in advance.
  if (Done() || !inBlocks_ || rxPos_ == 0) return 0;
  return wire::kBlockSize - static_cast<std::size_t>(rxPos_);
}

bool Upload::BlockNext() const {
  return !Done() && inBlocks_ && rxPos_ == 0 && Received() < fields_.announcedLength;
}

void Upload::TakeHeaderByte(std::uint8_t b, TimePoint now) {
  (void)now;
  if (rxPos_ < kHeaderStartSize) {
    // Whatever came before the header's start is dropped; 08 never occurs in the rest of it.
    if (b == kHeaderStart[rxPos_])
      ++rxPos_;
    else
      rxPos_ = b == wire::kHeaderFollows ? 1 : 0;
    if (rxPos_ < 2) return;
    if (rxPos_ == kHeaderStartSize) x_.events.WaitingForReceiver(std::nullopt);
  } else {
    ++rxPos_;
  }
  const int pos = rxPos_ - 1;  // position in the header frame
  fields_.Take(pos, b);
  header_[static_cast<std::size_t>(pos - 1)] = b;
  if (rxPos_ == kHeaderFrame) HeaderComplete();
}

void Upload::HeaderComplete() {
  TellHeader(true);
  rxPos_ = 0;
  if (!x_.files.Write(File(), header_) ||
      (!replacing_ && !x_.files.MoveIntoPlace({{part_, x_.path}})))
    return Fail();
  if (!replacing_) part_.clear();
  inBlocks_ = true;
  x_.line.Send(wire::kAccepted);
}

void Upload::TakeBlockByte(std::uint8_t b, TimePoint now) {
  // Blocks of 1029 bytes, data at 3 to 1026, each written and acknowledged, until the end
  // marker 03 comes where a block would start.
  if (rxPos_ == 0 && b == wire::kEnd) {
    x_.line.Send(wire::kComplete);
    // Complete only once the file is: closing it is the last write that can fail. The
    // receiver has ended the exchange, so what came is all it gives: it takes an existing
    // file's place even when it is shorter than announced, which the outcome then says.
    const int num = File();
    if (!x_.files.Close(num)) return Fail();
    if (!part_.empty() && !x_.files.MoveIntoPlace({{part_, x_.path}})) return Fail();
    part_.clear();
    const std::int64_t received = Received();
    if (received >= fields_.announcedLength)
      return Finish(Outcome::Of(Outcome::Kind::UploadCompleted));
    Outcome short_ = Outcome::Of(Outcome::Kind::UploadIncomplete);
    short_.path = x_.path;
    short_.done = received;
    short_.total = fields_.announcedLength;
    return Finish(short_);
  }
  if (rxPos_ >= kDataFirst && rxPos_ < kDataEnd)
    block_[static_cast<std::size_t>(rxPos_ - kDataFirst)] = b;
  if (++rxPos_ < static_cast<int>(kBlockSize)) return;

  rxPos_ = 0;
  // A block that was not stored is not acknowledged: the upload ends with the reason, and
  // the file keeps what was stored before it.
  if (!x_.files.Write(File(), block_)) return Fail();
  ++blockCount_;
  const std::int64_t received = Received();
  ShowProgress(received, static_cast<std::int64_t>(kHeaderSize) + received, fields_.announcedLength,
               now);
  // The pause runs from the block's end: storing it took part of it already.
  const auto since = x_.clock.Now() - now;
  if (since < x_.ackPause)
    x_.clock.Pause(std::chrono::ceil<std::chrono::microseconds>(x_.ackPause - since));
  x_.line.Send(wire::kAccepted);
}

void Upload::Tick(TimePoint now) {
  (void)now;
  if (Done()) return;
  if (!inBlocks_) {
    // Only the ready byte is repeated, until the header's start has come; a header that
    // stalls part way waits for Stop.
    if (rxPos_ < kHeaderStartSize) x_.line.Send(wire::kReady);
    return;
  }
  if (++silentTicks_ < kSilentTicksBeforeResend) return;
  // The partial block is dropped; its repetition overwrites what came of it.
  rxPos_ = 0;
  silentTicks_ = 0;
  x_.line.Send(wire::kRefused);
}

void Upload::Stop(TimePoint now) {
  (void)now;
  if (Done()) return;
  // Stopped during the header: the texts show what came. An existing target is left alone.
  if (!inBlocks_) TellHeader(false);
  Discard();
  Finish(Outcome::Of(Outcome::Kind::Stopped));
}

}  // namespace kelvane
