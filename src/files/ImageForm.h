#pragma once
// The two forms of a program image: plain (header at offset 0) and prefixed (a 4-byte
// big-endian LengthPrefix, header at offset 4). Used by the image check and the download.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvane {

// First four bytes as a big-endian number; missing bytes count as 0.
inline std::uint32_t BigEndian32(std::span<const std::uint8_t> b) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | (i < b.size() ? b[i] : 0u);
  return v;
}

// A file is prefixed exactly when its length minus its first four bytes, read big-endian,
// is 128.
inline bool IsPrefixed(std::int64_t fileLength, std::span<const std::uint8_t> firstFour) {
  return fileLength - static_cast<std::int64_t>(BigEndian32(firstFour)) == 128;
}

// Offset of the ImageHeader in the file: 4 when prefixed, else 0.
inline std::size_t HeaderBase(std::int64_t fileLength, std::span<const std::uint8_t> firstFour) {
  return IsPrefixed(fileLength, firstFour) ? 4 : 0;
}

}  // namespace kelvane
