#pragma once
// Control bytes and frame sizes of the serial line, shared by the PC side and the
// receiver emulator so that the protocol is written down once.

#include <cstddef>
#include <cstdint>

namespace kelvane::wire {

inline constexpr std::uint8_t kReady = 0x01;
inline constexpr std::uint8_t kStart = 0x02;  // start of a block or request
inline constexpr std::uint8_t kEnd = 0x03;    // end of data or request
inline constexpr std::uint8_t kHeaderFollows = 0x08;
inline constexpr std::uint8_t kTemuEnd = 0x0A;  // Temu end request code
inline constexpr std::uint8_t kAccepted = 0x10;
inline constexpr std::uint8_t kRefused = 0x11;  // refused, or send the block again
inline constexpr std::uint8_t kHwRefused = 0x12;
inline constexpr std::uint8_t kSwRefused = 0x13;
inline constexpr std::uint8_t kModelRefused = 0x14;
inline constexpr std::uint8_t kChecksumError = 0x15;
inline constexpr std::uint8_t kVerifyError = 0x16;
inline constexpr std::uint8_t kComplete = 0x17;

// What the line carries at most: 115200 baud, 10 bits a byte (start, 8 data, stop).
inline constexpr double kLineBytesPerSecond = 11520.0;

inline constexpr std::size_t kHeaderSize = 64;   // ImageHeader
inline constexpr std::size_t kPrefixSize = 4;    // LengthPrefix of a prefixed image
inline constexpr std::size_t kBlockData = 1024;  // data bytes in a block
inline constexpr std::size_t kBlockSize = 1029;  // 02 00 FF, 1024 bytes, 00 FF
inline constexpr std::uint8_t kBlockLead[3] = {0x02, 0x00, 0xFF};
inline constexpr std::uint8_t kBlockTrail[2] = {0x00, 0xFF};
// The unfilled part of the last data block of a download.
inline constexpr std::uint8_t kFiller = 0xFF;

// Temu request codes (position 1 of a request) and the reply to the start request.
inline constexpr std::uint8_t kTemuStart = 0x01;
inline constexpr std::uint8_t kTemuRead = 0x02;
inline constexpr std::uint8_t kTemuTime = 0x03;
inline constexpr std::size_t kTemuRequestBuffer = 101;

}  // namespace kelvane::wire
