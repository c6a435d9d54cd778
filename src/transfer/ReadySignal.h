#pragma once
// The receiver's first words in a download: the ready byte 01 before a program image or an
// SDX list, the start request 02 01 03 of a Temu exchange. A port that has said them is the
// one the receiver is on.

#include <algorithm>
#include <cstdint>
#include <span>

#include "transfer/Protocol.h"

namespace kelvane {

inline bool ReceiverIsReady(std::span<const std::uint8_t> heard, bool temu) {
  if (!temu) return std::find(heard.begin(), heard.end(), wire::kReady) != heard.end();
  const std::uint8_t start[] = {wire::kStart, wire::kTemuStart, wire::kEnd};
  return std::search(heard.begin(), heard.end(), std::begin(start), std::end(start)) != heard.end();
}

}  // namespace kelvane
