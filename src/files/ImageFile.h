#pragma once
// The program image header and the check run when an image is chosen: the header is parsed
// from bytes alone, and its texts come from one function, used both for a chosen image and
// for the header the receiver sends in an upload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "files/FileTable.h"
#include "transfer/Outcome.h"

namespace kelvane {

// The 64-byte header of a program image (at offset 0 of a plain image, 4 of a prefixed one).
struct ImageHeader {
  static constexpr std::size_t kSize = 64;

  std::array<std::uint8_t, 4> Magic{};        // 0: 55 AA 55 AA
  std::array<std::uint8_t, 2> ContentCode{};  // 4: 00 FE = no version information
  std::uint32_t DataLength = 0;               // 12: big-endian
  std::array<std::uint8_t, 4> HwVersion{};    // 16
  std::array<std::uint8_t, 4> SwVersion{};    // 20
  std::array<std::uint8_t, 2> ModelCode{};    // 26
  std::array<std::uint8_t, 32> ModelText{};   // 32

  bool HasMagic() const;
  // False for ContentCode 00 FE, whose version and model fields mean nothing.
  bool HasVersions() const;
};

inline constexpr std::array<std::uint8_t, 4> kImageMagic{0x55, 0xAA, 0x55, 0xAA};

// The header at the start of bytes; nullopt when fewer than 64 bytes are given.
std::optional<ImageHeader> ParseImageHeader(std::span<const std::uint8_t> bytes);

// Upper-case hexadecimal without leading zeros ("0" for zero), and exactly two digits.
std::string Hex(std::uint8_t b);
std::string Hex2(std::uint8_t b);

inline constexpr const char* kHwLabel = "HW version : ";
inline constexpr const char* kSwLabel = "SW version : ";
inline constexpr const char* kModelLabel = "Model ID : ";

// label + hex(b2) "." hex2(b3) when b0 and b1 are both zero, else
// label + hex(b1) "." hex2(b2) "." hex2(b3). b0 only chooses the shape.
std::string VersionText(const std::string& label, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                        std::uint8_t b3);

// "Model ID : " hex(code0) hex2(code1), four blanks, then the model characters: 8-bit
// characters (Latin-1) up to the first NUL, as UTF-8.
std::string ModelText(std::uint8_t code0, std::uint8_t code1, std::span<const std::uint8_t> text);

// Latin-1 bytes up to the first NUL, as UTF-8.
std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes);

struct ImageTexts {
  std::string hw, sw, model;  // the boxes HWver, SWver and ModelID
};
// The three box texts of a header: bare labels for ContentCode 00 FE.
ImageTexts HeaderTexts(const ImageHeader& header);
// The same for the bytes of a header as they came (from a file or from the receiver); bytes
// beyond those given, as in a header cut short, count as zero.
ImageTexts HeaderTexts(std::span<const std::uint8_t> header);

// Checks the image at path under the file number num; Ready with its versions and model in
// texts, or why the file cannot be used (InvalidFile, FileError; texts untouched). The file
// is closed on every way out, no error is left pending, and it is never created or changed.
Outcome CheckImage(FileTable& files, int num, const std::string& path, ImageTexts& texts);

}  // namespace kelvane
