#include "timecode/TimeCode.h"

#include <cstdint>
#include <string>

namespace kelvane {

int ComputeMjd(int year, int month, int day) {
  // January and February count as months 13 and 14 of the year before. Wide integers keep
  // any input free of overflow; a calendar date gives a result well inside 32 bits.
  const std::int64_t y = static_cast<std::int64_t>(year) - 1900;
  const int l = month == 1 || month == 2 ? 1 : 0;
  const auto a = static_cast<std::int64_t>(static_cast<double>(month + 1 + 12 * l) * 30.6001);
  const auto b = static_cast<std::int64_t>(static_cast<double>(y - l) * 365.25);
  return static_cast<int>(day + 14956 + b + a);
}

int EncodeBcd(std::string_view text) {
  std::uint32_t result = 0;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c < '1' || c > '9') continue;
    const std::size_t group = n - 1 - i;
    if (group > 7) continue;
    const std::uint32_t term = static_cast<std::uint32_t>(c - '0') << (4 * group);
    if (term > 0x7FFFFFFFu) continue;
    result |= term;
  }
  return static_cast<int>(result);
}

int EncodeBcd(int value) { return EncodeBcd(std::to_string(value)); }

TimeField EncodeTimeField(int year, int month, int day, int hour, int minute, int second) {
  const int mjd = ComputeMjd(year, month, day);
  return {static_cast<std::uint8_t>((mjd / 256) & 255), static_cast<std::uint8_t>(mjd & 255),
          static_cast<std::uint8_t>(EncodeBcd(hour) & 255),
          static_cast<std::uint8_t>(EncodeBcd(minute) & 255),
          static_cast<std::uint8_t>(EncodeBcd(second) & 255)};
}

}  // namespace kelvane
