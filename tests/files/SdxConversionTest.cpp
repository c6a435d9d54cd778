#include "files/SdxConversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

struct SdxRig : Window {
  bool ok = false;
  void Convert(const Bytes& list, const std::string& name = "list.sdx") {
    if (!list.empty()) WriteFile(name, list);
    view.messages.clear();
    main.XferPath = name, main.FileNum = 1;
    const Outcome result = ConvertSdx(files, view, main.FileNum, main.XferPath);
    ShowOutcome(view, result);
    ok = result.kind == Outcome::Kind::Ready;
  }
  // Refused with the system's reason, and nothing left behind to be sent.
  void ExpectSystemError(int err, const std::string& name = "list.sdx") {
    EXPECT_FALSE(ok);
    ExpectOnlyMessage(std::strerror(err), "", Icon::Exclamation);
    EXPECT_FALSE(fs::exists(kTempContainer));
    EXPECT_FALSE(fs::exists(kTempList));
    EXPECT_EQ(main.XferPath, name);
    EXPECT_EQ(files.FreeFile(), 1) << "a file of the conversion is left open";
  }
};

TEST(SdxConversion, BlankRecordMakesTheWorkedExampleAndReplacesStaleFiles) {
  SdxRig w;
  WriteFile(kTempList, Bytes(1000, 'o'));
  WriteFile(kTempContainer, Bytes(5000, 'o'));
  w.view.onPump = [&] {
    EXPECT_TRUE(w.view.busy);
    EXPECT_FALSE(fs::exists(kTempList)) << "stale files deleted before the pumps";
  };
  const Bytes record = SdxRecordBytes("MPG2", "   ", "   ", ' ', "     ");
  w.Convert(record);
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(ReadFile(kTempList), record);
  EXPECT_EQ(Hex(ReadFile(kTempContainer)),
            Hex(Concat({B({0x55, 0xAA, 0x55, 0xAA, 0, 2, 0x10, 0x96, 0, 0, 0, 0, 0, 0, 0, 0x80}), Bytes(48, 0), record})));
  EXPECT_EQ(w.main.XferPath, kTempContainer);
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_EQ(w.files.FreeFile(), 1) << "a file of the conversion is left open";
  EXPECT_EQ(w.view.waits, std::vector<std::chrono::milliseconds>(1000));
}

TEST(SdxConversion, UnreadableListOrTemporaryFilesAreReportedAndLeaveNothing) {
  SdxRig w;
  WriteFile(kTempContainer, Bytes(64, 0));  // from an earlier choice: must not stay behind
  w.Convert({}, "gone.sdx");
  w.ExpectSystemError(ENOENT, "gone.sdx");
  EXPECT_FALSE(fs::exists("gone.sdx"));

  struct Case {
    const char* name;
    int err;
    std::size_t fits;  // bytes that can be written; 0: cannot be created
  };
  for (const Case& c : {Case{kTempList, EROFS, 0}, {kTempContainer, EACCES, 0}, {kTempList, ENOSPC, 100},
                        {kTempContainer, ENOSPC, 64 + 128}}) {
    SCOPED_TRACE(std::string(c.name) + " " + std::strerror(c.err));
    w.files.failOpen.clear(), w.files.writeLimit.clear();
    if (c.fits == 0) w.files.failOpen[c.name] = c.err;
    else w.files.writeLimit[c.name] = c.fits;
    w.Convert(Concat({Sdx("011", "778", '0'), Sdx("012", "188", '0')}));
    w.ExpectSystemError(c.err);
  }
}

// Random SDX lists, partial last records included, converted and checked against a small
// reference model written straight from the file layout: the repeat, polarisation and
// system rules and the number fields.
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

}  // namespace
}  // namespace kelvane::test
