#include "transfer/TemuDownload.h"

#include <algorithm>

#include "timecode/TimeCode.h"

namespace kelvane {

void RequestBuffer::Store(std::span<const std::uint8_t> chunk) {
  std::size_t at = stored_;
  if (stored_ == 0) {
    const auto start = std::find(chunk.begin(), chunk.end(), wire::kStart);
    if (start != chunk.end())
      chunk = chunk.subspan(static_cast<std::size_t>(start - chunk.begin()));
    at = 0;
  }
  const std::size_t room = bytes_.size() - at;
  const std::size_t n = std::min(chunk.size(), room);
  std::copy_n(chunk.begin(), n, bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  justStored_ = n;
  overflowed_ = chunk.size() > room;
}

void RequestBuffer::Grow() {
  if (overflowed_)
    Reset();
  else
    stored_ += justStored_;
}

void RequestBuffer::Reset() {
  stored_ = 0;
  bytes_[2] = 0;
  bytes_[8] = 0;
}

void TemuDownload::Begin(TimePoint now) {
  // Any file can be served, an empty one too, but one that is not there is not made up.
  if (!OpenFile(OpenMode::Read)) return Finish(FileFailure());
  length_ = x_.files.Length(File());
  // The receiver leads: until its first request comes, the exchange waits for it.
  x_.events.WaitingForReceiver(now);
}

Outcome TemuDownload::Counted(Outcome::Kind kind) const {
  Outcome o = Outcome::Of(kind);
  o.served = served_;
  return o;
}

// 02 02, count payload bytes: the file from offset on, FF behind its end; then 03. FF
// stands only for what lies behind the file's end, never for bytes it failed to give.
bool TemuDownload::SendReadReply() {
  auto& files = x_.files;
  const std::size_t count = req_[2] + 256u * req_[3];
  const std::int64_t offset = req_[4] + (std::int64_t{req_[5]} << 8) +
                              (std::int64_t{req_[6]} << 16) + (std::int64_t{req_[7]} << 24);
  files.ClearError();
  files.Seek(File(), offset);
  payload_.resize(count);
  const std::size_t got = offset < kTemuOffsetLimit && count > 0 ? files.Read(File(), payload_) : 0;
  if (files.ErrorPending()) return false;
  std::fill(payload_.begin() + static_cast<std::ptrdiff_t>(got), payload_.end(), wire::kFiller);

  static constexpr std::uint8_t kReadHead[] = {wire::kStart, wire::kTemuRead};
  auto& line = x_.line;
  line.Send(kReadHead);
  const std::span<const std::uint8_t> all(payload_);
  if (got > 0) line.Send(all.first(got));
  if (got < count) line.Send(all.subspan(got));
  line.Send(wire::kEnd);
  return true;
}

// 02 03, MJD high and low, HH MM SS in BCD, 03: the PC's local date and time.
void TemuDownload::SendTimeReply() {
  const LocalDateTime now = x_.clock.Local();
  const TimeField t =
      EncodeTimeField(now.year, now.month, now.day, now.hour, now.minute, now.second);
  auto& line = x_.line;
  line.Send(wire::kStart);
  line.Send(wire::kTemuTime);
  const std::uint8_t mjd[] = {t.mjdHigh, t.mjdLow};
  line.Send(mjd);
  line.Send(t.hour);
  line.Send(t.minute);
  line.Send(t.second);
  line.Send(wire::kEnd);
}

void TemuDownload::Feed(std::span<const std::uint8_t> chunk, TimePoint now) {
  if (Done() || chunk.empty()) return;
  // A read without a 02 while no request is under way is dropped.
  if (req_.Stored() == 0 && std::find(chunk.begin(), chunk.end(), wire::kStart) == chunk.end())
    return;
  if (!heard_) x_.events.WaitingForReceiver(std::nullopt);
  heard_ = true;

  req_.Store(chunk);
  const std::uint8_t code = req_[1];
  switch (code) {
    case wire::kTemuStart:
    case wire::kTemuRead:
    case wire::kTemuTime:
    case wire::kTemuEnd: break;
    default:
      // Unknown code: dropped once it is plainly not a request or plainly complete.
      if (req_[0] != wire::kStart || (req_[2] == wire::kEnd && req_[8] == wire::kEnd))
        req_.Reset();
      else
        req_.Grow();
      return;
  }
  // A request is complete when its 03 stands at its last position. Bytes that follow it in
  // the same read are dropped with the reset.
  if (req_[code == wire::kTemuRead ? 8 : 2] != wire::kEnd) return req_.Grow();
  if (code == wire::kTemuEnd) {
    req_.Reset();
    return Finish(Counted(Outcome::Kind::TemuEnded));
  }
  x_.line.DropUnsent();
  if (code == wire::kTemuStart) {
    static constexpr std::uint8_t kStartReply[] = {wire::kStart, wire::kTemuStart, wire::kTemuEnd,
                                                   wire::kEnd};
    for (const std::uint8_t b : kStartReply) x_.line.Send(b);
  } else if (code == wire::kTemuTime) {
    SendTimeReply();
  } else if (!SendReadReply()) {
    return Finish(FileFailure());
  }
  req_.Reset();
  ++served_;
  const std::int64_t position = x_.files.Position(File());
  ShowProgress(position, position, length_, now);
}

void TemuDownload::Stop(TimePoint now) {
  (void)now;
  if (!Done()) Finish(Counted(Outcome::Kind::Stopped));
}

}  // namespace kelvane
