#pragma once
// Sample files for demos and tests: program images in both forms, an SDX channel list and
// a Temu file. All content is deterministic, so a file made twice is the same file.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::samples {

using Bytes = std::vector<std::uint8_t>;

struct ImageFields {
  std::size_t dataLength = 100 * 1024 + 300;
  std::uint8_t contentCode[2] = {0x00, 0x01};
  std::uint8_t hwVersion[4] = {0x00, 0x00, 0x01, 0x05};
  std::uint8_t swVersion[4] = {0x00, 0x02, 0x0A, 0x03};
  std::uint8_t modelCode[2] = {0x12, 0x05};
  std::string modelText = "DEMO RECEIVER";
  std::uint32_t seed = 1;
};

// A plain image: the 64-byte header, then dataLength bytes of data.
Bytes ProgramImage(const ImageFields& fields);
// The same image behind a 4-byte big-endian length prefix of (file length - 128).
Bytes Prefixed(const Bytes& plain);
// SDX records (128 bytes each), MPG2 and other systems, with repeated transponders.
Bytes ChannelList();
// A Temu file of the given size.
Bytes TemuFile(std::size_t size, std::uint32_t seed = 3);

// Writes sample.bin, sample-prefixed.bin, channels.sdx and card.sgn into dir; returns the
// paths written.
std::vector<std::string> WriteSamples(const std::string& dir);

void WriteFile(const std::string& path, const Bytes& bytes);

}  // namespace kelvane::samples
