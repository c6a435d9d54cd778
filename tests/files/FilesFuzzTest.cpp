// Random and truncated input for the image check and the SDX conversion, checked against
// small reference models written straight from the file layouts.

#include <gtest/gtest.h>

#include <random>

#include "files/ImageFile.h"
#include "files/ImageForm.h"
#include "files/SdxConversion.h"
#include "support/Rig.h"

namespace kelvane::test {
namespace {

// Digits with blanks around them, nothing else.
std::optional<std::uint32_t> ReferenceNumber(const Bytes& field) {
  const std::string s(field.begin(), field.end());
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  const std::string digits = s.substr(first, s.find_last_not_of(' ') - first + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(digits));
}

Bytes ReferenceContainer(const Bytes& list) {
  std::uint32_t freq = 0, rate = 0, lastFreq = 0, lastRate = 0, sum = 0;
  int pol = -1, lastPol = 0;
  Bytes data;
  for (auto r = list.begin(); r + 128 <= list.end(); r += 128) {
    auto field = [&](long at, long n) { return ReferenceNumber(Bytes(r + at, r + at + n)); };
    auto hi = field(33, 3), lo = field(36, 3), sr = field(69, 5);
    if (hi && lo) freq = *hi * 1000 + *lo;
    if (sr) rate = *sr;
    if (r[42] >= '0' && r[42] <= '9') pol = r[42];
    if (std::equal(r + 29, r + 33, "MPG2") && (freq != lastFreq || rate != lastRate || pol == -1 || pol != lastPol)) {
      data.insert(data.end(), r, r + 128);
      lastFreq = freq, lastRate = rate, lastPol = pol == -1 ? ' ' : pol;
    }
  }
  for (auto b : data) sum += b;
  Bytes out = B({0x55, 0xAA, 0x55, 0xAA, 0, 2, int(sum >> 8 & 0xFF), int(sum & 0xFF), 0, 0, 0, 0});
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(data.size() >> s));
  out.resize(64, 0);
  return Concat({out, data});
}

// Records drawn from a few shapes, so that repeats and near-misses are common.
Bytes RandomList(std::mt19937& rng) {
  static const char* kPieces[] = {"1", "12", "011", "778", "27500", " 5", "5 ", " ", "x", "-1", "99999"};
  static const char* kTags[] = {"MPG2", "MPG2", "MPG2", "mpg2", "MPG ", "DVB "};
  static const char kPols[] = {'0', '1', '0', ' ', '9', 'H'};
  auto field = [&](std::size_t width) {
    std::string s = kPieces[rng() % std::size(kPieces)];
    s.resize(width, ' ');
    if (rng() % 8 == 0) s[rng() % width] = static_cast<char>(rng());
    return s;
  };
  Bytes list;
  for (int i = static_cast<int>(rng() % 24); i > 0; --i) {
    Bytes r = SdxRecordBytes(kTags[rng() % std::size(kTags)], field(3), field(3), kPols[rng() % std::size(kPols)],
                             field(5), static_cast<char>(rng() % 2 ? ' ' : rng()));
    if (rng() % 10 == 0)
      for (auto& b : r) b = static_cast<std::uint8_t>(rng());  // noise
    list = Concat({list, r});
  }
  list.resize(list.size() + rng() % 128, static_cast<std::uint8_t>(rng()));
  return list;
}

TEST(FilesFuzz, NumberFieldsMatchTheReference) {
  std::mt19937 rng(20240611);
  static const std::uint8_t kAlphabet[] = {' ', ' ', '0', '1', '7', '9', 'a', '+', 0, 0xFF};
  for (int i = 0; i < 5000; ++i) {
    Bytes field(1 + rng() % 6);
    for (auto& b : field) b = kAlphabet[rng() % std::size(kAlphabet)];
    ASSERT_EQ(ParseSdxNumber(field), ReferenceNumber(field)) << Hex(field);
  }
  EXPECT_FALSE(ParseSdxNumber({}));
}

TEST(FilesFuzz, SdxConversionMatchesTheReference) {
  std::mt19937 rng(7);
  Window w;
  for (int i = 0; i < 800; ++i) {
    const Bytes list = RandomList(rng);
    WriteFile("l.sdx", list);
    std::string error;
    const std::size_t buffer = 1 + rng() % 4;
    w.files.readPiece = rng() % 2 ? 0 : 1 + rng() % 300;
    ASSERT_TRUE(WriteSdxContainer(w.files, "l.sdx", 1, error, buffer)) << error;
    const Bytes expected = ReferenceContainer(list);
    ASSERT_EQ(Hex(ReadFile(kTempContainer)), Hex(expected)) << i << " buffer " << buffer << " read " << w.files.readPiece;
    ASSERT_EQ(ReadFile(kTempList), Bytes(expected.begin() + 64, expected.end()));
    ASSERT_EQ(w.files.FreeFile(), 1);
  }
}

TEST(FilesFuzz, ImageCheckTakesAnyBytes) {
  std::mt19937 rng(99);
  Window w;
  for (int i = 0; i < 2000; ++i) {
    // Lengths around the header sizes and the prefixed boundary, the magic often right.
    const std::size_t length = rng() % 3 == 0 ? rng() % 70 : 120 + rng() % 20;
    Bytes file(length);
    for (auto& b : file) b = static_cast<std::uint8_t>(rng());
    if (length >= 4 && rng() % 2) {
      const std::uint32_t l = static_cast<std::uint32_t>(length) - 128u + (rng() % 3) - 1u;
      for (int k = 0; k < 4; ++k) file[k] = static_cast<std::uint8_t>(l >> (24 - 8 * k));
    }
    const std::size_t base = HeaderBase(static_cast<std::int64_t>(length), file);
    if (rng() % 4 != 0)
      for (std::size_t k = 0; k < 4 && base + k < length; ++k) file[base + k] = kImageMagic[k];
    WriteFile("f.bin", file);
    w.view.messages.clear();
    w.main.XferPath = "f.bin";
    w.main.FileNum = 1;
    const bool ok = CheckImage(w.main);
    const bool valid = length >= base + 64 && std::equal(kImageMagic.begin(), kImageMagic.end(), file.begin() + long(base));
    ASSERT_EQ(ok, valid) << i << " length " << length;
    ASSERT_EQ(w.view.messages.size(), ok ? 0u : 1u);
    ASSERT_FALSE(w.files.IsOpen(1));
    if (ok) { ASSERT_EQ(w.view.Text(Control::ModelID), HeaderTexts(*ParseImageHeader(std::span(file).subspan(base))).model); }
  }
}

}  // namespace
}  // namespace kelvane::test
