#include "files/SdxConversion.h"

#include <gtest/gtest.h>

#include <cstring>

#include "files/FilesTestSupport.h"

namespace kelvane::test {
namespace {

std::optional<std::uint32_t> Num(const std::string& s) {
  return ParseSdxNumber(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

TEST(SdxFields, NumbersMayHaveBlanksAroundTheDigits) {
  EXPECT_EQ(Num("011"), 11u);
  EXPECT_EQ(Num(" 11"), 11u);
  EXPECT_EQ(Num("11 "), 11u);
  EXPECT_FALSE(Num("   "));
  EXPECT_FALSE(Num(""));
  EXPECT_FALSE(Num("1 2"));
  EXPECT_FALSE(Num("-12"));
}

class SdxConversion : public TempDirTest {
 protected:
  // Converts the list bytes; returns the records of "satcodx.tm0".
  std::vector<Bytes> Convert(const Bytes& list) {
    WriteFile("list.sdx", list);
    w.main.XferPath = "list.sdx";
    w.main.FileNum = 1;
    ok = ConvertSdx(w.main);
    std::vector<Bytes> records;
    const Bytes tm0 = ReadFile(kTempList);
    for (std::size_t at = 0; at + 128 <= tm0.size(); at += 128)
      records.emplace_back(tm0.begin() + static_cast<std::ptrdiff_t>(at),
                           tm0.begin() + static_cast<std::ptrdiff_t>(at + 128));
    return records;
  }
  void ExpectContainerOf(const std::vector<Bytes>& records) {
    Bytes data;
    std::uint32_t sum = 0;
    for (const auto& r : records) {
      data.insert(data.end(), r.begin(), r.end());
      for (auto b : r) sum += b;
    }
    const auto h = MakeListHeader(static_cast<std::uint16_t>(sum), static_cast<std::uint32_t>(data.size()));
    EXPECT_EQ(ReadFile(kTempContainer), Concat({Bytes(h.begin(), h.end()), data}));
  }
  void ExpectSystemError(int err, const std::string& path = "list.sdx") {
    EXPECT_FALSE(ok);
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_EQ(w.view.messages[0].text, std::strerror(err));
    EXPECT_EQ(w.view.messages[0].title, "");
    EXPECT_EQ(w.view.messages[0].icon, Icon::Exclamation);
    EXPECT_EQ(w.view.messages[0].buttons, Buttons::OK);
    EXPECT_FALSE(fs::exists(kTempContainer)) << "a container is left to be sent";
    EXPECT_FALSE(fs::exists(kTempList));
    EXPECT_EQ(w.main.XferPath, path);
    EXPECT_EQ(w.files.FreeFile(), 1);
  }

  Window w;
  bool ok = false;
};

TEST_F(SdxConversion, BlankMpg2RecordIsTheWorkedExample) {
  const Bytes record = SdxRecordBytes("MPG2", "   ", "   ", ' ', "     ");
  EXPECT_EQ(Convert(record), std::vector<Bytes>{record});
  EXPECT_TRUE(ok);
  const Bytes tm1 = ReadFile(kTempContainer);
  ASSERT_EQ(tm1.size(), 192u);
  EXPECT_EQ(Hex(Bytes(tm1.begin(), tm1.begin() + 16)), "55 AA 55 AA 00 02 10 96 00 00 00 00 00 00 00 80");
  EXPECT_EQ(Bytes(tm1.begin() + 16, tm1.begin() + 64), Bytes(48, 0));
  EXPECT_EQ(Bytes(tm1.begin() + 64, tm1.end()), record);
  EXPECT_EQ(w.main.XferPath, "satcodx.tm1");
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_EQ(w.files.FreeFile(), 1) << "a file of the conversion is left open";
  // The list itself is untouched.
  EXPECT_EQ(ReadFile("list.sdx"), record);
}

TEST_F(SdxConversion, RepeatsOfTheLastWrittenRecordAreDropped) {
  const Bytes a = SdxRecordBytes("MPG2", "011", "778", '0', "27500", 'a');
  const Bytes b = SdxRecordBytes("MPG2", "011", "778", '0', "27500", 'b');
  const Bytes c = SdxRecordBytes("MPG2", "011", "778", '1', "27500", 'c');
  const Bytes d = SdxRecordBytes("MPG2", "011", "779", '1', "27500", 'd');
  const Bytes e = SdxRecordBytes("MPG2", "011", "779", '1', "22000", 'e');
  EXPECT_EQ(Convert(Concat({a, b, c, d, e})), (std::vector<Bytes>{a, c, d, e}));
  ExpectContainerOf({a, c, d, e});
}

TEST_F(SdxConversion, OtherSystemsOnlyMoveTheCurrentValues) {
  const Bytes first = SdxRecordBytes("MPG2", "011", "778", '0', "27500", '1');
  const Bytes other = SdxRecordBytes("DVB ", "012", "000", '1', "22000", '2');
  const Bytes repeat = SdxRecordBytes("MPG2", "011", "778", '0', "27500", '3');
  EXPECT_EQ(Convert(Concat({first, other, repeat})), std::vector<Bytes>{first});

  // Fields that do not parse keep the values of the record before, whatever its system:
  // here the frequency, rate and polarisation of the other system's record.
  const Bytes blankFields = SdxRecordBytes("MPG2", " x ", "   ", '-', "     ", '4');
  EXPECT_EQ(Convert(Concat({first, other, blankFields})), (std::vector<Bytes>{first, blankFields}));
  EXPECT_EQ(Convert(Concat({first, blankFields})), std::vector<Bytes>{first});
}

TEST_F(SdxConversion, OnlyUpperCaseMpg2IsTaken) {
  const Bytes lower = SdxRecordBytes("mpg2", "011", "778", '0', "27500");
  const Bytes blank = SdxRecordBytes("MPG ", "011", "778", '0', "27500");
  const Bytes mixed = SdxRecordBytes("Mpg2", "011", "778", '0', "27500");
  EXPECT_TRUE(Convert(Concat({lower, blank, mixed})).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(Hex(ReadFile(kTempContainer)), Hex(Concat({B({0x55, 0xAA, 0x55, 0xAA, 0x00, 0x02}), Bytes(58, 0)})));
}

TEST_F(SdxConversion, WithoutPolarisationEveryMpg2RecordIsWritten) {
  const Bytes r = SdxRecordBytes("MPG2", "011", "778", ' ', "27500");
  EXPECT_EQ(Convert(Concat({r, r, r})).size(), 3u);
  // Once a digit has been seen it stays current, so the repeats are dropped again.
  const Bytes withPol = SdxRecordBytes("MPG2", "011", "778", '0', "27500");
  EXPECT_EQ(Convert(Concat({r, withPol, r, r})).size(), 2u);
}

TEST_F(SdxConversion, FinalPartShorterThanARecordIsIgnored) {
  const Bytes a = SdxRecordBytes("MPG2", "011", "778", '0', "27500");
  const Bytes b = SdxRecordBytes("MPG2", "012", "188", '1', "27500");
  Bytes list = Concat({a, b, Bytes(44, 'Z')});
  list[256 + 29] = 'M', list[256 + 30] = 'P', list[256 + 31] = 'G', list[256 + 32] = '2';
  ASSERT_EQ(list.size(), 300u);
  EXPECT_EQ(Convert(list), (std::vector<Bytes>{a, b}));
  ExpectContainerOf({a, b});
}

TEST_F(SdxConversion, StaleTemporaryFilesAreReplaced) {
  WriteFile(kTempList, Bytes(1000, 'o'));
  WriteFile(kTempContainer, Bytes(5000, 'o'));
  const Bytes r = SdxRecordBytes("MPG2", "011", "778", '0', "27500");
  EXPECT_EQ(Convert(r), std::vector<Bytes>{r});
  ExpectContainerOf({r});
}

TEST_F(SdxConversion, BusyPointerAndThousandPumpsBeforeReading) {
  w.view.onPump = [&] {
    EXPECT_TRUE(w.view.busy);
    EXPECT_FALSE(fs::exists(kTempList)) << "stale files are deleted before the pumps";
  };
  WriteFile(kTempList, Bytes(3, 'o'));
  Convert(SdxRecordBytes("MPG2", "011", "778", '0', "27500"));
  EXPECT_EQ(w.view.pumps, 1000);
  for (auto wait : w.view.waits) EXPECT_EQ(wait.count(), 0);
  EXPECT_EQ(w.view.busyHistory, std::vector<bool>{true});
}

TEST_F(SdxConversion, EventsDuringThePumpsDoNotChangeTheSourceList) {
  const Bytes r = SdxRecordBytes("MPG2", "011", "778", '0', "27500");
  WriteFile("other.sdx", Bytes(128, ' '));
  w.view.onPump = [&] { w.main.XferPath = "other.sdx"; };
  EXPECT_EQ(Convert(r), std::vector<Bytes>{r});
  EXPECT_EQ(w.main.XferPath, "satcodx.tm1");
}

TEST_F(SdxConversion, MissingListIsReportedAndNotCreated) {
  WriteFile(kTempContainer, Bytes(64, 0));  // from an earlier choice: must not stay behind
  w.main.XferPath = "gone.sdx";
  w.main.FileNum = 1;
  ok = ConvertSdx(w.main);
  ExpectSystemError(ENOENT, "gone.sdx");
  EXPECT_FALSE(fs::exists("gone.sdx"));
}

TEST_F(SdxConversion, UnreadableListIsReported) {
  fs::create_directory("folder.sdx");
  w.main.XferPath = "folder.sdx";
  w.main.FileNum = 1;
  ok = ConvertSdx(w.main);
  ExpectSystemError(EISDIR, "folder.sdx");
}

TEST_F(SdxConversion, TemporaryFileFailuresAreReportedAndLeaveNothing) {
  const Bytes r1 = SdxRecordBytes("MPG2", "011", "778", '0', "27500");
  const Bytes r2 = SdxRecordBytes("MPG2", "012", "188", '0', "27500");
  struct Case {
    const char* name;
    int err;
    std::size_t fits;  // bytes that can be written; 0 = cannot be created
  };
  const Case cases[] = {{kTempList, EROFS, 0}, {kTempContainer, EACCES, 0},
                        {kTempList, ENOSPC, 100}, {kTempContainer, ENOSPC, 64 + 128}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::strerror(c.err));
    w.files.failOpen.clear();
    w.files.writeLimit.clear();
    w.view.messages.clear();
    if (c.fits == 0) w.files.failOpen[c.name] = c.err;
    else w.files.writeLimit[c.name] = c.fits;
    Convert(Concat({r1, r2}));
    ExpectSystemError(c.err);
  }
}

TEST_F(SdxConversion, StaleFileThatCannotBeDeletedIsReported) {
  WriteFile(kTempContainer, Bytes(64, 0));
  w.files.failDelete[kTempContainer] = EPERM;
  Convert(SdxRecordBytes("MPG2", "011", "778", '0', "27500"));
  EXPECT_FALSE(ok);
  ASSERT_EQ(w.view.messages.size(), 1u);
  EXPECT_EQ(w.view.messages[0].text, std::strerror(EPERM));
  EXPECT_EQ(w.main.XferPath, "list.sdx");
  EXPECT_EQ(w.view.pumps, 0);
}

}  // namespace
}  // namespace kelvane::test
