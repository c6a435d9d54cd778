#pragma once
// The line settings text handed to the serial object before an open, "115200,n,8,1": speed,
// parity, data bits and stop bits. Each back end turns the parsed form into its system's.

#include <string>

namespace kelvane {

struct LineSettings {
  enum class Parity { None, Even, Odd, Mark, Space };
  enum class StopBits { One, OneAndHalf, Two };
  int baud = 0;
  Parity parity = Parity::None;
  int dataBits = 8;  // 5 to 8
  StopBits stopBits = StopBits::One;
};

// Baud rate, parity (n, e, o, m, s in either case), data bits (5 to 8), stop bits (1, 1.5,
// 2). False when the text is not of that form.
bool ParseLineSettings(const std::string& text, LineSettings& out);

}  // namespace kelvane
