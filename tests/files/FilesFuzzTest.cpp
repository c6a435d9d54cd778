// Random and truncated input for the image check and the SDX conversion, checked against
// small reference models written straight from the file layouts.

#include <gtest/gtest.h>

#include <random>

#include "files/FilesTestSupport.h"
#include "files/ImageFile.h"
#include "files/ImageForm.h"
#include "files/SdxConversion.h"

namespace kelvane::test {
namespace {

// Reference: digits with blanks around them, nothing else.
std::optional<std::uint32_t> ReferenceNumber(const Bytes& field) {
  std::string s(field.begin(), field.end());
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  const auto last = s.find_last_not_of(' ');
  const std::string digits = s.substr(first, last - first + 1);
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(digits));
}

// Reference filter over a whole list held in memory.
Bytes ReferenceContainer(const Bytes& list) {
  std::uint32_t freq = 0, rate = 0, lastFreq = 0, lastRate = 0;
  int pol = -1;
  char lastPol = '\0';
  Bytes data;
  for (std::size_t at = 0; at + 128 <= list.size(); at += 128) {
    const Bytes r(list.begin() + static_cast<std::ptrdiff_t>(at), list.begin() + static_cast<std::ptrdiff_t>(at + 128));
    auto field = [&](std::size_t o, std::size_t n) { return Bytes(r.begin() + o, r.begin() + o + n); };
    auto hi = ReferenceNumber(field(33, 3)), lo = ReferenceNumber(field(36, 3)), sr = ReferenceNumber(field(69, 5));
    if (hi && lo) freq = *hi * 1000 + *lo;
    if (sr) rate = *sr;
    if (r[42] >= '0' && r[42] <= '9') pol = r[42];
    const bool mpg2 = r[29] == 'M' && r[30] == 'P' && r[31] == 'G' && r[32] == '2';
    if (mpg2 && (freq != lastFreq || rate != lastRate || pol == -1 || pol != lastPol)) {
      data.insert(data.end(), r.begin(), r.end());
      lastFreq = freq, lastRate = rate, lastPol = pol == -1 ? ' ' : static_cast<char>(pol);
    }
  }
  unsigned sum = 0;
  for (auto b : data) sum += b;
  Bytes out{0x55, 0xAA, 0x55, 0xAA, 0x00, 0x02, static_cast<std::uint8_t>(sum >> 8 & 0xFF),
            static_cast<std::uint8_t>(sum & 0xFF), 0, 0, 0, 0};
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(data.size() >> s));
  out.resize(64, 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A field drawn from a few shapes, so that repeats and near-misses are common.
std::string RandomField(std::mt19937& rng, std::size_t width) {
  static const char* kPieces[] = {"1", "12", "011", "778", "27500", " 5", "5 ", " ", "x", "-1", "99999"};
  std::string s = kPieces[rng() % std::size(kPieces)];
  s.resize(width, ' ');
  if (rng() % 8 == 0) s[rng() % width] = static_cast<char>(rng());
  return s;
}

Bytes RandomList(std::mt19937& rng) {
  Bytes list;
  const int records = static_cast<int>(rng() % 24);
  for (int i = 0; i < records; ++i) {
    if (rng() % 10 == 0) {  // noise
      Bytes r(128);
      for (auto& b : r) b = static_cast<std::uint8_t>(rng());
      list.insert(list.end(), r.begin(), r.end());
      continue;
    }
    static const char* kTags[] = {"MPG2", "MPG2", "MPG2", "mpg2", "MPG ", "DVB "};
    static const char kPols[] = {'0', '1', '0', ' ', '9', 'H'};
    Bytes r = SdxRecordBytes(kTags[rng() % std::size(kTags)], RandomField(rng, 3), RandomField(rng, 3),
                             kPols[rng() % std::size(kPols)], RandomField(rng, 5),
                             static_cast<char>(rng() % 2 ? ' ' : rng()));
    list.insert(list.end(), r.begin(), r.end());
  }
  list.resize(list.size() + rng() % 128, static_cast<std::uint8_t>(rng()));
  return list;
}

class FilesFuzz : public TempDirTest {};

TEST_F(FilesFuzz, NumberFieldsMatchTheReference) {
  std::mt19937 rng(20240611);
  static const std::uint8_t kAlphabet[] = {' ', ' ', '0', '1', '7', '9', 'a', '+', 0, 0xFF};
  for (int i = 0; i < 20000; ++i) {
    Bytes field(1 + rng() % 6);
    for (auto& b : field) b = kAlphabet[rng() % std::size(kAlphabet)];
    EXPECT_EQ(ParseSdxNumber(field), ReferenceNumber(field)) << Hex(field);
  }
}

TEST_F(FilesFuzz, SdxConversionMatchesTheReference) {
  std::mt19937 rng(7);
  Window w;
  for (int i = 0; i < 1500; ++i) {
    const Bytes list = RandomList(rng);
    WriteFile("l.sdx", list);
    std::string error;
    const std::size_t buffer = 1 + rng() % 4;
    w.files.readPiece = rng() % 2 ? 0 : 1 + rng() % 300;
    ASSERT_TRUE(WriteSdxContainer(w.files, "l.sdx", 1, error, buffer)) << error;
    const Bytes expected = ReferenceContainer(list);
    ASSERT_EQ(Hex(ReadFile(kTempContainer)), Hex(expected)) << "case " << i << " buffer " << buffer << " read " << w.files.readPiece;
    ASSERT_EQ(ReadFile(kTempList), Bytes(expected.begin() + 64, expected.end()));
    ASSERT_EQ(w.files.FreeFile(), 1);
  }
}

TEST_F(FilesFuzz, ImageCheckTakesAnyBytes) {
  std::mt19937 rng(99);
  Window w;
  for (int i = 0; i < 3000; ++i) {
    // Lengths around the header sizes and the prefixed boundary, with magic bytes often right.
    const std::size_t length = rng() % 3 == 0 ? rng() % 70 : 120 + rng() % 20;
    Bytes file(length);
    for (auto& b : file) b = static_cast<std::uint8_t>(rng());
    const bool prefixed = length >= 4 && rng() % 2;
    if (prefixed) {
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
    const bool valid = length >= base + 64 && std::equal(kImageMagic.begin(), kImageMagic.end(),
                                                         file.begin() + static_cast<std::ptrdiff_t>(base));
    ASSERT_EQ(ok, valid) << "case " << i << " length " << length;
    ASSERT_EQ(w.view.messages.size(), ok ? 0u : 1u);
    ASSERT_FALSE(w.files.IsOpen(1));
    if (ok) {
      const auto texts = HeaderTexts(*ParseImageHeader(std::span(file).subspan(base)));
      ASSERT_EQ(w.view.Text(Control::ModelID), texts.model);
    }
  }
}

}  // namespace
}  // namespace kelvane::test
