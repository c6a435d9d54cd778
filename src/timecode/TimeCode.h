#pragma once
// The receiver's time stamp: a Modified Julian Date and the time of day in BCD, the 40-bit
// layout of the broadcast time field (16-bit MJD, then hours, minutes, seconds).

#include <cstdint>
#include <string_view>

namespace kelvane {

// Modified Julian Date of a calendar date (13 October 1993 is 49273). Exact for every date
// from 1 March 1900 to 28 February 2100; no range check.
int ComputeMjd(int year, int month, int day);

// The decimal digits of a text packed one per 4 bits, the first digit in the highest group
// used. "0" and any character that is not a digit add nothing but keep their place, so
// "-5" gives 0x05. Digits that would not fit a signed 32-bit result are left out.
int EncodeBcd(std::string_view text);
// The same for the decimal text of value: 23 gives 0x23.
int EncodeBcd(int value);

// The five bytes of the time field: MJD high, MJD low, HH, MM, SS.
struct TimeField {
  std::uint8_t mjdHigh, mjdLow, hour, minute, second;
};
TimeField EncodeTimeField(int year, int month, int day, int hour, int minute, int second);

}  // namespace kelvane
