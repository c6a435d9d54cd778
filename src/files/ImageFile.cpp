#include "files/ImageFile.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "files/ImageForm.h"

namespace kelvane {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// True when nothing at all is found under path (not even a directory or a broken link's
// target): such a choice is reported as a bad image, not as a system error.
bool NamesNothing(const std::string& path) {
  std::error_code ec;
  return std::filesystem::status(path, ec).type() == std::filesystem::file_type::not_found;
}

}  // namespace

bool ImageHeader::HasMagic() const { return Magic == kImageMagic; }

bool ImageHeader::HasVersions() const {
  return !(ContentCode[0] == 0x00 && ContentCode[1] == 0xFE);
}

std::optional<ImageHeader> ParseImageHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < ImageHeader::kSize) return std::nullopt;
  ImageHeader h;
  auto take = [&](std::size_t offset, auto& field) {
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), field.size(), field.begin());
  };
  take(0, h.Magic);
  take(4, h.ContentCode);
  h.DataLength = BigEndian32(bytes.subspan(12, 4));
  take(16, h.HwVersion);
  take(20, h.SwVersion);
  take(26, h.ModelCode);
  take(32, h.ModelText);
  return h;
}

std::string Hex(std::uint8_t b) {
  std::string s;
  if (b >= 0x10) s += kDigits[b >> 4];
  s += kDigits[b & 0x0F];
  return s;
}

std::string Hex2(std::uint8_t b) { return {kDigits[b >> 4], kDigits[b & 0x0F]}; }

std::string VersionText(const std::string& label, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                        std::uint8_t b3) {
  if (b0 == 0 && b1 == 0) return label + Hex(b2) + "." + Hex2(b3);
  return label + Hex(b1) + "." + Hex2(b2) + "." + Hex2(b3);
}

std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes) {
  std::string s;
  for (std::uint8_t c : bytes) {
    if (c == 0) break;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

std::string ModelText(std::uint8_t code0, std::uint8_t code1, std::span<const std::uint8_t> text) {
  return kModelLabel + Hex(code0) + Hex2(code1) + "    " + Latin1ToUtf8(text);
}

ImageTexts HeaderTexts(const ImageHeader& h) {
  if (!h.HasVersions()) return {kHwLabel, kSwLabel, kModelLabel};
  const auto& hw = h.HwVersion;
  const auto& sw = h.SwVersion;
  return {VersionText(kHwLabel, hw[0], hw[1], hw[2], hw[3]),
          VersionText(kSwLabel, sw[0], sw[1], sw[2], sw[3]),
          ModelText(h.ModelCode[0], h.ModelCode[1], h.ModelText)};
}

ImageTexts HeaderTexts(std::span<const std::uint8_t> header) {
  std::array<std::uint8_t, ImageHeader::kSize> whole{};
  std::copy_n(header.begin(), std::min(header.size(), whole.size()), whole.begin());
  return HeaderTexts(*ParseImageHeader(whole));
}

Outcome CheckImage(FileTable& files, int num, const std::string& path, ImageTexts& texts) {
  auto invalid = [&] {
    files.Close(num);
    return Outcome::Invalid(path);
  };

  // The pending system error; once reported it is no longer pending.
  auto failed = [&] {
    const std::string text = files.ErrorText();
    files.Close(num);
    files.ClearError();
    return Outcome::FileFailure(path, text);
  };

  // Read only: a chosen path that names no file is not created, it is just not an image.
  const bool absent = NamesNothing(path);
  if (!absent) files.Open(num, path, OpenMode::Read);
  if (files.ErrorPending()) return failed();
  if (absent) return invalid();

  const std::int64_t length = files.Length(num);

  // The header lies at most 4 bytes in: the first 68 bytes hold both forms.
  std::array<std::uint8_t, 4 + ImageHeader::kSize> head{};
  files.Seek(num, 0);
  const std::size_t got = files.Read(num, head);
  if (files.ErrorPending()) return failed();
  const std::span<const std::uint8_t> bytes(head.data(), got);
  const std::size_t base = HeaderBase(length, bytes.first(std::min<std::size_t>(4, got)));
  // A file that ends inside its header has no versions to show.
  const auto header = got >= base ? ParseImageHeader(bytes.subspan(base)) : std::nullopt;
  if (!header || !header->HasMagic()) return invalid();

  texts = HeaderTexts(*header);
  files.Close(num);
  return Outcome::Of(Outcome::Kind::Ready);
}

}  // namespace kelvane
