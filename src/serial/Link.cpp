#include "serial/Link.h"

#include <algorithm>

#include "app/MainView.h"

namespace kelvane {

void Link::Pump() {
  // Wait for the next event only when nothing is waiting to be read; otherwise run what is
  // pending and return at once, so a byte-at-a-time reader never waits on buffered bytes.
  view_.PumpEvents(serial_.InBufferCount() > 0 ? std::chrono::milliseconds{0} : kIdleWait);
}

void Link::Flush() {
  (void)serial_.Input();
  serial_.SetInBufferCount(0);
  moreWaiting_ = false;
  echo_.Reset();
}

std::optional<std::uint8_t> Link::BytePoll() {
  // The count the last poll read tells whether bytes wait: then the pump runs what is pending
  // without waiting, and only every kPollsPerPump polls.
  if (!moreWaiting_) {
    view_.PumpEvents(kIdleWait);
    unpumped_ = 0;
  } else if (++unpumped_ >= kPollsPerPump) {
    view_.PumpEvents(std::chrono::milliseconds{0});
    unpumped_ = 0;
  }
  const int waiting = serial_.InBufferCount();
  moreWaiting_ = waiting > 1;
  if (waiting == 0) return std::nullopt;
  const auto b = serial_.InputByte();
  if (b) echo_.Received(std::span<const std::uint8_t>(&*b, 1));
  return b;
}

const Bytes& Link::ChunkPoll() {
  Pump();
  lastRead_ = serial_.Input();
  echo_.Received(lastRead_);
  if (!lastRead_.empty()) latest_ = lastRead_;
  return lastRead_;
}

bool Link::LatestHas(std::uint8_t b) const {
  return std::find(latest_.begin(), latest_.end(), b) != latest_.end();
}

}  // namespace kelvane
