#include "files/SdxConversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

Bytes ReferenceContainer(const Bytes& list);

struct SdxRig : Window {
  bool ok = false;
  void Convert(const Bytes& list, const std::string& name = "list.sdx") {
    if (!list.empty()) WriteFile(name, list);
    view.messages.clear();
    main.XferPath = name, main.FileNum = 1;
    const Outcome result = ConvertSdx(files, main.FileNum, main.XferPath);
    ShowOutcome(view, result);
    ok = result.kind == Outcome::Kind::Ready;
  }
  // Refused with this reason; the files of an earlier conversion (or none) as they were,
  // nothing else left behind.
  void ExpectRefused(const std::string& why, const std::string& name = "list.sdx",
                     const Bytes& earlier = {}) {
    EXPECT_FALSE(ok);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].text.find(why), std::string::npos) << view.messages[0].text;
    EXPECT_EQ(view.messages[0].icon, Icon::Exclamation);
    EXPECT_EQ(ReadFile(kTempContainer), earlier);
    EXPECT_EQ(ReadFile(kTempList),
              earlier.empty() ? Bytes{} : Bytes(earlier.begin() + 64, earlier.end()));
    EXPECT_EQ(main.XferPath, name);
    for (int n = 1; n <= 3; ++n) EXPECT_FALSE(files.IsOpen(n)) << "file " << n << " left open";
    EXPECT_EQ(std::count_if(fs::directory_iterator("."), {},
                            [](const auto& e) {
                              return e.path().filename().string().starts_with(".satcodx");
                            }),
              0)
        << "a private file left behind";
  }
  void ExpectSystemError(int err, const std::string& name = "list.sdx", const Bytes& earlier = {}) {
    ExpectRefused(std::strerror(err), name, earlier);
    EXPECT_EQ(view.messages.at(0).text, std::strerror(err));
  }
};

TEST(SdxConversion, UnreadableListOrTemporaryFilesAreReportedAndKeepTheEarlierResult) {
  SdxRig w;
  w.Convert(Sdx("011", "778", '0'), "good.sdx");  // an earlier good conversion stays until replaced
  ASSERT_TRUE(w.ok);
  const Bytes earlier = ReadFile(kTempContainer);
  w.Convert({}, "gone.sdx");
  w.ExpectSystemError(ENOENT, "gone.sdx", earlier);
  EXPECT_FALSE(fs::exists("gone.sdx"));
  w.files.readFault["list.sdx"] = {1000, EIO};  // a bad sector part way
  w.Convert(Concat({Sdx("011", "778", '0'), Bytes(2000, ' ')}));
  w.ExpectSystemError(EIO, "list.sdx", earlier);
  w.files.readFault.clear();
  fs::remove(kTempContainer), fs::remove(kTempList);

  struct Case {
    const char* name;
    int err;
    std::size_t fits;  // bytes that can be written; 0: cannot be created
  };
  // clang-format off
  for (const Case& c : {Case{kTempList, EROFS, 0}, {kTempContainer, EACCES, 0},
                        {kTempList, ENOSPC, 100}, {kTempContainer, ENOSPC, 64 + 128}}) {
    // clang-format on
    SCOPED_TRACE(std::string(c.name) + " " + std::strerror(c.err));
    w.files.failOpen.clear(), w.files.writeLimit.clear();
    if (c.fits == 0)
      w.files.failOpen[c.name] = c.err;
    else
      w.files.writeLimit[c.name] = c.fits;
    w.Convert(Concat({Sdx("011", "778", '0'), Sdx("012", "188", '0')}));
    w.ExpectSystemError(c.err);
  }
  // A write error the system delays until the flush to the disk: of either file before the
  // renames, or of the folder after them (the new files are then in place, but not claimed).
  w.files.failOpen.clear(), w.files.writeLimit.clear();
  for (const char* name : {kTempList, kTempContainer, "."}) {
    SCOPED_TRACE(name);
    w.files.syncFault = {{name, {0, EIO}}};
    w.Convert(Sdx("011", "778", '0'));
    if (name[0] != '.') w.ExpectSystemError(EIO);
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.main.XferPath, "list.sdx");
  }
}

// A file without one channel record (a program image chosen by mistake, an empty file, a list
// of other systems only) is refused with words that name it; the earlier result stays.
TEST(SdxConversion, ListWithoutChannelsIsRefused) {
  SdxRig w;
  w.Convert(Sdx("011", "778", '0'), "good.sdx");
  ASSERT_TRUE(w.ok);
  const Bytes earlier = ReadFile(kTempContainer);
  WriteFile("empty.sdx", {});
  // clang-format off
  for (const auto& [name, list] : {std::pair{"empty.sdx", Bytes{}}, {"image.bin", Pattern(3000, 1)},
                                   {"dvb.sdx", SdxRecordBytes("DVB ", "011", "778", '0', "27500")}}) {
    // clang-format on
    SCOPED_TRACE(name);
    w.Convert(list, name);
    w.ExpectRefused(std::string(name) + " holds no channels", name, earlier);
  }
}

// A list named like one of the results in the working directory (or a link to one) is not
// replaced by the result: the conversion refuses it and the list stays as it was.
TEST(SdxConversion, ListUnderTheNameOfItsOwnResultIsKept) {
  KELVANE_SKIP_ON_WINDOWS("symbolic links");
  const Bytes list =
      Concat({Sdx("011", "778", '0'), SdxRecordBytes("DVB ", "011", "778", '0', "27500")});
  for (const char* name : {kTempList, kTempContainer, "link.sdx"}) {
    SCOPED_TRACE(name);
    SdxRig w;
    WriteFile(kTempList, list);
    if (std::string(name) == "link.sdx") fs::create_symlink(kTempList, name);
    w.Convert(std::string(name) == "link.sdx" ? Bytes{} : list, name);
    EXPECT_FALSE(w.ok);
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_NE(w.view.messages[0].text.find(name), std::string::npos) << w.view.messages[0].text;
    EXPECT_EQ(ReadFile(name), list);
  }
}

// Two conversions into the same folder at once (another program's runs while this one reads):
// each writes only its own private files, the one that finishes last is in place whole, and
// each reports the sizes it wrote itself.
TEST(SdxConversion, ConcurrentConversionsDoNotCorruptEachOther) {
  SdxRig w;
  Bytes big;
  for (int i = 0; i < 40; ++i) big = Concat({big, Sdx("011", std::to_string(100 + i), '0')});
  WriteFile("big.sdx", big);
  WriteFile("small.sdx", Sdx("012", "188", '1'));
  DiskFileTable other;
  SdxOutput otherWrote;
  int reads = 0;
  w.files.beforeRead = [&] {
    if (++reads != 2) return;  // the first conversion is part way through its list
    std::string error;
    EXPECT_TRUE(WriteSdxContainer(other, "small.sdx", 1, error, 1, &otherWrote)) << error;
  };
  std::string error;
  SdxOutput wrote;
  ASSERT_TRUE(WriteSdxContainer(w.files, "big.sdx", 1, error, 1, &wrote)) << error;
  EXPECT_EQ(otherWrote.listBytes, 128u);
  EXPECT_EQ(otherWrote.containerBytes, 192u);
  EXPECT_EQ(wrote.listBytes, big.size());
  EXPECT_EQ(wrote.containerBytes, 64 + big.size());
  EXPECT_EQ(ReadFile(kTempList), big);
  EXPECT_EQ(Hex(ReadFile(kTempContainer)), Hex(ReferenceContainer(big)));
}

// A conversion asked to stop ends between two reads, as a failure that leaves nothing of its own.
TEST(SdxConversion, StopEndsTheConversionAndLeavesNothing) {
  SdxRig w;
  Bytes list;
  for (int i = 0; i < 20; ++i) list = Concat({list, Sdx("011", std::to_string(100 + i), '0')});
  WriteFile("list.sdx", list);
  int asked = 0;
  std::string error;
  EXPECT_FALSE(
      WriteSdxContainer(w.files, "list.sdx", 1, error, 2, nullptr, [&] { return ++asked == 3; }));
  EXPECT_EQ(error, "stopped");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 1) << "only the list";
  EXPECT_EQ(w.files.FreeFile(), 1);
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
    if (std::equal(r + 29, r + 33, "MPG2") &&
        (freq != lastFreq || rate != lastRate || pol == -1 || pol != lastPol)) {
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
  // "011" and "11" are one number: leading zeros must not make a repeat look new.
  static const char* kPieces[] = {"1",  "12", "011", "11", "778", "27500",
                                  " 5", "5 ", " ",   "x",  "-1",  "99999"};
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
    Bytes r = SdxRecordBytes(kTags[rng() % std::size(kTags)], field(3), field(3),
                             kPols[rng() % std::size(kPols)], field(5),
                             static_cast<char>(rng() % 2 ? ' ' : rng()));
    if (rng() % 10 == 0)
      for (auto& b : r) b = static_cast<std::uint8_t>(rng());  // noise
    list = Concat({list, r});
  }
  list.resize(list.size() + rng() % 128, static_cast<std::uint8_t>(rng()));
  return list;
}

TEST(FilesFuzz, SdxConversionMatchesTheReference) {
  std::mt19937 rng(7);
  TempDir dir(MemoryTempBase());
  FaultyFiles files;
  for (int i = 0; i < 800; ++i) {
    const Bytes list = RandomList(rng);
    WriteFile("l.sdx", list);
    std::string error;
    const std::size_t buffer = rng() % 5 ? 1 + rng() % 4 : kSdxBufferRecords;
    files.readPiece = rng() % 2 ? 0 : 1 + rng() % 300;
    const SdxResult result = WriteSdxContainer(files, "l.sdx", 1, error, buffer);
    const Bytes expected = ReferenceContainer(list);
    if (expected.size() == 64) {  // no record taken
      ASSERT_EQ(result.kind, SdxResult::Kind::NoChannels) << i;
      continue;
    }
    ASSERT_TRUE(result) << error;
    ASSERT_EQ(Hex(ReadFile(kTempContainer)), Hex(expected))
        << i << " buffer " << buffer << " read " << files.readPiece;
    ASSERT_EQ(ReadFile(kTempList), Bytes(expected.begin() + 64, expected.end()));
    ASSERT_EQ(files.FreeFile(), 1);
  }
}

// The sum is taken a word at a time in lanes that are folded every 1024 bytes: lengths
// around those steps, and bytes that fill the lanes to the top.
TEST(FilesFuzz, ListChecksumIsTheByteSumAtAnyLength) {
  std::mt19937 rng(3);
  for (std::size_t n : {0, 1, 7, 8, 9, 1023, 1024, 1031, 2048, 70001}) {
    for (bool full : {true, false}) {
      Bytes bytes(n, 0xFF);
      if (!full)
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
      const std::size_t split = n ? rng() % n : 0;
      ListChecksum sum;
      sum.Add(std::span(bytes).first(split));
      sum.Add(std::span(bytes).subspan(split));
      std::uint32_t expected = 0;
      for (auto b : bytes) expected += b;
      EXPECT_EQ(sum.Value(), static_cast<std::uint16_t>(expected)) << n << (full ? " FF" : "");
    }
  }
}

}  // namespace
}  // namespace kelvane::test
