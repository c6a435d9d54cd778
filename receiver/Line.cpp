#include "receiver/Line.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

namespace kelvane::rx {

namespace {

using namespace std::chrono;

constexpr auto kByteTime =
    duration_cast<SteadyClock::duration>(duration<double>(1.0 / kLineBytesPerSecond));
// A paced write goes out in slices of this many bytes (about 22 ms of line time): a few
// wake-ups per block. Each slice is handed over when its last byte would have crossed a
// real line, so the PC sees a block complete no sooner than on the line.
constexpr std::size_t kPaceSlice = 256;
// A write this soon after the arrival of the last byte read (and the reply delay) answers
// it at once. Deliberate waits are longer (whole milliseconds).
constexpr auto kPromptAnswer = microseconds(500);

}  // namespace

void Line::ClosedByPeer() {
  // Bytes the PC wrote just before it closed may still be on their way on a paced line:
  // they are handed out first, and the close is reported when they are gone.
  peerClosed_ = true;
  if (queue_.empty()) PeerGone();
}

void Line::PeerGone() {
  throw PeerClosed(pty_ ? "the PC closed its end of the line" : "the serial device hung up");
}

void Line::Write(std::span<const std::uint8_t> bytes) {
  if (!IsOpen()) throw LineError("the line is closed");
  if (replyDelay_.count() && SteadyClock::now() < lastRead_ + replyDelay_)
    Wait(lastRead_ + replyDelay_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::size_t n = bytes.size() - done;
    if (pace_) {
      // A slice is handed over when its last byte would have crossed a real line.
      n = std::min(n, kPaceSlice);
      // The slices of one write follow each other without a gap: each goes on from where
      // the line became free, so the wake-up slack of the waits does not add up over a
      // block. The first slice starts no earlier than now, or, for an answer given at once,
      // when the bytes it answers had come: the emulator's own lateness in waking to them
      // is not the receiver's.
      auto start = sendFree_;
      if (done == 0) {
        const auto now = SteadyClock::now();
        const auto answer = lastRead_ + replyDelay_;
        start = std::max(now >= answer && now - answer < kPromptAnswer ? answer : now, sendFree_);
      }
      sendFree_ = start + kByteTime * static_cast<int>(n);
      Wait(sendFree_);
    }
    const std::size_t w = Send(bytes.data() + done, n);
    done += w;
    sent_ += w;
  }
}

void Line::TakeIn(SteadyClock::time_point until) {
  if (peerClosed_) {
    // Nothing more can come; what was taken in still arrives on its paced schedule.
    if (queue_.empty()) PeerGone();
    std::this_thread::sleep_until(until);
    return;
  }
  std::uint8_t buf[kChunk];
  const std::size_t n = Receive(buf, until);
  if (n == 0) return;
  if (n == kHungUp) return ClosedByPeer();
  const auto readAt = SteadyClock::now();
  for (std::size_t i = 0; i < n; ++i) {
    // On a paced line a byte has arrived no sooner than one byte time after the last.
    auto at = readAt;
    if (pace_) at = std::max(readAt, lastArrival_ + kByteTime);
    lastArrival_ = at;
    queue_.push_back({buf[i], at});
  }
  received_ += n;
  if (!peerSeen_) {
    peerSeen_ = true;
    // The PC has the line open now: from here on a hang-up means it closed it.
    ReleaseHold();
  }
}

std::optional<std::uint8_t> Line::ReadByte(SteadyClock::time_point deadline) {
  for (;;) {
    if (!queue_.empty()) {
      const auto at = queue_.front().at;
      if (at <= SteadyClock::now()) {
        const auto b = queue_.front().byte;
        lastRead_ = at;
        queue_.pop_front();
        return b;
      }
      if (at > deadline) {
        Wait(deadline);
        return std::nullopt;
      }
      Wait(at);
      continue;
    }
    if (SteadyClock::now() >= deadline) return std::nullopt;
    TakeIn(deadline);
  }
}

Bytes Line::Read(std::size_t n, SteadyClock::time_point deadline) {
  while (queue_.size() < n && SteadyClock::now() < deadline) {
    if (peerClosed_) PeerGone();
    TakeIn(deadline);
  }
  // Those of the n queued bytes that arrive by the deadline, after one wait for the last.
  const auto last = std::upper_bound(
      queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(std::min(n, queue_.size())),
      deadline, [](auto t, const Arrival& a) { return t < a.at; });
  const auto count = static_cast<std::size_t>(last - queue_.begin());
  Bytes out;
  if (count == 0) return out;
  Wait(queue_[count - 1].at);
  lastRead_ = queue_[count - 1].at;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(queue_[i].byte);
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
  return out;
}

void Line::Wait(SteadyClock::time_point deadline) {
  while (SteadyClock::now() < deadline) TakeIn(deadline);
}

Bytes Line::DrainQuiet(std::chrono::milliseconds quiet, SteadyClock::time_point deadline) {
  Bytes got;
  while (auto b = ReadByte(std::min(deadline, SteadyClock::now() + quiet))) got.push_back(*b);
  return got;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes Junk(std::size_t count, std::uint32_t seed) {
  Bytes out;
  out.reserve(count);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    out.push_back(static_cast<std::uint8_t>(0x20 + (x >> 16) % 0xE0));
  }
  return out;
}

}  // namespace kelvane::rx
