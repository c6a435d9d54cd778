#pragma once
// The list container an SDX conversion sends: a 64-byte list header in the program image
// layout, then the records. The header carries the length of the records and the low 16
// bits of their byte sum; the receiver checks that sum. Header only, so that the receiver
// emulator judges a container with the very rules that write it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace kelvane {

inline constexpr std::size_t kListHeaderSize = 64;

// The byte sum of the records, taken as they are written or received.
class ListChecksum {
 public:
  // Eight bytes at a time: the bytes of a word are added in pairs into four 16-bit lanes,
  // which hold the sums of up to 128 words before they are folded into the total.
  void Add(std::span<const std::uint8_t> bytes) {
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFu;
    constexpr std::uint64_t kLowHalves = 0x0000FFFF0000FFFFu;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left >= 8) {
      const std::size_t words = std::min<std::size_t>(left / 8, 128);
      std::uint64_t lanes = 0;
      for (std::size_t i = 0; i < words; ++i, p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        lanes += (w & kLowBytes) + ((w >> 8) & kLowBytes);
      }
      lanes = (lanes & kLowHalves) + ((lanes >> 16) & kLowHalves);
      sum_ += static_cast<std::uint32_t>(lanes) + static_cast<std::uint32_t>(lanes >> 32);
      left -= words * 8;
    }
    for (; left > 0; --left) sum_ += *p++;
  }
  std::uint16_t Value() const { return static_cast<std::uint16_t>(sum_); }

 private:
  std::uint32_t sum_ = 0;
};

// 55 AA 55 AA, 00 02, checksum (high, low), 4 zero bytes, data length big-endian, 48 zero bytes.
inline std::array<std::uint8_t, kListHeaderSize> MakeListHeader(std::uint16_t checksum,
                                                                std::uint32_t dataLength) {
  std::array<std::uint8_t, kListHeaderSize> h{};
  h[0] = 0x55, h[1] = 0xAA, h[2] = 0x55, h[3] = 0xAA;
  h[4] = 0x00, h[5] = 0x02;
  h[6] = static_cast<std::uint8_t>(checksum >> 8);
  h[7] = static_cast<std::uint8_t>(checksum);
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<std::uint8_t>(dataLength >> (24 - 8 * i));
  return h;
}

// The checksum a header block states, when it is a list header (its content code 00 02);
// none for a program image or a block too short to be a header.
inline std::optional<std::uint16_t> StatedListChecksum(std::span<const std::uint8_t> header) {
  if (header.size() < kListHeaderSize || header[0] != 0x55 || header[1] != 0xAA ||
      header[2] != 0x55 || header[3] != 0xAA || header[4] != 0x00 || header[5] != 0x02)
    return std::nullopt;
  return static_cast<std::uint16_t>(header[6] << 8 | header[7]);
}

}  // namespace kelvane
