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
  echo_.Reset();
}

std::optional<std::uint8_t> Link::BytePoll() {
  Pump();
  if (serial_.InBufferCount() == 0) return std::nullopt;
  Bytes b = serial_.Input();
  echo_.Received(b);
  if (b.empty()) return std::nullopt;
  return b[0];
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
