#include "transfer/TemuDownload.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "timecode/TimeCode.h"
#include "transfer/Protocol.h"

namespace kelvane {

namespace {

using Request = std::array<std::uint8_t, wire::kTemuRequestBuffer>;

// A request of the receiver, 02 code ... 03, assembled from the chunks it arrives in.
// Positions 2 and 8 are where a complete request has its 03 (short requests and the read
// request); the reset clears them so that an old 03 does not end the next request early.
class RequestBuffer {
 public:
  // Stores a chunk: a new request from its first 02 on (bytes in front are dropped), a
  // continuation appended. Never writes past the buffer: what does not fit is noted, and
  // a request that is still incomplete then is dropped (Grow).
  void Store(std::span<const std::uint8_t> chunk) {
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

  // The request is not complete yet: keep what was just stored, unless it did not fit.
  void Grow() {
    if (overflowed_)
      Reset();
    else
      stored_ += justStored_;
  }

  void Reset() {
    stored_ = 0;
    bytes_[2] = 0;
    bytes_[8] = 0;
  }

  std::uint8_t operator[](std::size_t pos) const { return bytes_[pos]; }
  std::size_t Stored() const { return stored_; }

 private:
  Request bytes_{};
  std::size_t stored_ = 0;
  std::size_t justStored_ = 0;
  bool overflowed_ = false;
};

void SendStartReply(Link& link) {
  link.Send(wire::kStart);
  link.Send(wire::kTemuStart);
  link.Send(wire::kTemuEnd);
  link.Send(wire::kEnd);
}

// 02 02, count payload bytes: the file from offset on, FF behind its end; then 03. False,
// with nothing sent, when the file cannot be read: FF stands only for what lies behind its
// end, never for bytes the file failed to give.
bool SendReadReply(Exchange& x, const RequestBuffer& req, std::vector<std::uint8_t>& payload) {
  const std::size_t count = req[2] + 256u * req[3];
  const std::int64_t offset = req[4] + (std::int64_t{req[5]} << 8) + (std::int64_t{req[6]} << 16) +
                              (std::int64_t{req[7]} << 24);
  x.files.ClearError();
  x.files.Seek(x.File(), offset);
  payload.resize(count);
  const std::size_t got =
      offset < kTemuOffsetLimit && count > 0 ? x.files.Read(x.File(), payload) : 0;
  if (x.files.ErrorPending()) return false;
  std::fill(payload.begin() + static_cast<std::ptrdiff_t>(got), payload.end(), wire::kFiller);

  static constexpr std::uint8_t kReadHead[] = {wire::kStart, wire::kTemuRead};
  auto& link = x.link;
  link.Send(kReadHead);
  const std::span<const std::uint8_t> all(payload);
  if (got > 0) link.Send(all.first(got));
  if (got < count) link.Send(all.subspan(got));
  link.Send(wire::kEnd);
  return true;
}

// 02 03, MJD high and low, HH MM SS in BCD, 03: the PC's local date and time.
void SendTimeReply(Exchange& x) {
  const LocalDateTime now = x.clock.Local();
  const TimeField t =
      EncodeTimeField(now.year, now.month, now.day, now.hour, now.minute, now.second);
  auto& link = x.link;
  link.Send(wire::kStart);
  link.Send(wire::kTemuTime);
  const std::uint8_t mjd[] = {t.mjdHigh, t.mjdLow};
  link.Send(mjd);
  link.Send(t.hour);
  link.Send(t.minute);
  link.Send(t.second);
  link.Send(wire::kEnd);
}

}  // namespace

Outcome RunTemuDownload(Exchange& x) {
  auto& link = x.link;
  auto& serial = x.serial;

  // Any file can be served, an empty one too, but one that is not there is not made up.
  if (!x.OpenFile(OpenMode::Read)) return x.FileFailure();
  x.view.SetProgressMax(100);
  const std::int64_t length = x.files.Length(x.File());

  RequestBuffer req;
  std::vector<std::uint8_t> payload;
  bool running = true;

  serial.SetInBufferCount(0);
  serial.SetOutBufferCount(0);
  serial.SetInputLen(0);

  // The receiver leads: until its first request comes, the exchange waits for it.
  bool heard = false;
  x.view.ShowWaitingForReceiver(x.clock.Now());
  while (running && !x.Stopping()) {
    // Wait for a chunk with a 02, or for any bytes while a request is under way. Bytes
    // without a 02 between requests are dropped here.
    std::span<const std::uint8_t> chunk;
    const auto hasStart = [&] {
      return std::find(chunk.begin(), chunk.end(), wire::kStart) != chunk.end();
    };
    while (!hasStart() && !x.Stopping() && !(!chunk.empty() && req.Stored() > 0))
      chunk = link.ChunkPoll();
    if (x.Stopping()) break;
    if (!heard) x.view.ShowWaitingForReceiver(std::nullopt);
    heard = true;

    req.Store(chunk);
    bool replied = false;
    switch (const std::uint8_t code = req[1]) {
      case wire::kTemuStart:
      case wire::kTemuRead:
      case wire::kTemuTime:
      case wire::kTemuEnd:
        // A request is complete when its 03 stands at its last position.
        if (req[code == wire::kTemuRead ? 8 : 2] != wire::kEnd) {
          req.Grow();
          break;
        }
        if (code == wire::kTemuEnd) {
          running = false;
        } else {
          serial.SetOutBufferCount(0);
          if (code == wire::kTemuStart) {
            SendStartReply(link);
          } else if (code == wire::kTemuTime) {
            SendTimeReply(x);
          } else if (!SendReadReply(x, req, payload)) {
            return x.FileFailure();
          }
          replied = true;
        }
        req.Reset();
        break;
      default:
        // Unknown code: dropped once it is plainly not a request or plainly complete.
        if (req[0] != wire::kStart || (req[2] == wire::kEnd && req[8] == wire::kEnd))
          req.Reset();
        else
          req.Grow();
        break;
    }
    if (replied) {
      const std::int64_t position = x.files.Position(x.File());
      x.ShowProgress(position, position, length);
    }
  }
  return x.WithProgress(Outcome::Of(running ? Outcome::Kind::Stopped : Outcome::Kind::TemuEnded));
}

}  // namespace kelvane
