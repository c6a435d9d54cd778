#include "serial/EchoWatch.h"

namespace kelvane {

void EchoWatch::Sent(std::span<const std::uint8_t> bytes) {
  awaited_.insert(awaited_.end(), bytes.begin(), bytes.end());
  while (awaited_.size() > kRemembered) awaited_.pop_front();
}

void EchoWatch::Received(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (!awaited_.empty() && awaited_.front() == b) {
      awaited_.pop_front();
      ++echoed_;
    } else {
      awaited_.clear();
      echoed_ = 0;
    }
  }
}

void EchoWatch::Reset() {
  awaited_.clear();
  echoed_ = 0;
}

}  // namespace kelvane
