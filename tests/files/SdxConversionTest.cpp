#include "files/SdxConversion.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

struct SdxRig : Window {
  bool ok = false;
  // Converts the list; returns the records of the filtered list.
  std::vector<Bytes> Convert(const Bytes& list, const std::string& name = "list.sdx") {
    if (!list.empty()) WriteFile(name, list);
    view.messages.clear();
    main.XferPath = name;
    main.FileNum = 1;
    ok = ConvertSdx(main);
    std::vector<Bytes> records;
    const Bytes tm0 = ReadFile(kTempList);
    for (auto at = tm0.begin(); at + 128 <= tm0.end(); at += 128) records.emplace_back(at, at + 128);
    return records;
  }
  // Refused with the system's reason, and nothing left behind to be sent.
  void ExpectSystemError(int err, const std::string& name = "list.sdx") {
    EXPECT_FALSE(ok);
    ExpectOnlyMessage(std::strerror(err), "", Icon::Exclamation);
    EXPECT_FALSE(fs::exists(kTempContainer));
    EXPECT_FALSE(fs::exists(kTempList));
    EXPECT_EQ(main.XferPath, name);
    EXPECT_EQ(files.FreeFile(), 1);
  }
};

TEST(SdxConversion, BlankRecordMakesTheWorkedExampleAndReplacesStaleFiles) {
  SdxRig w;
  WriteFile(kTempList, Bytes(1000, 'o'));
  WriteFile(kTempContainer, Bytes(5000, 'o'));
  WriteFile("other.sdx", Bytes(128, ' '));
  w.view.onPump = [&] {
    EXPECT_TRUE(w.view.busy);
    EXPECT_FALSE(fs::exists(kTempList)) << "stale files are deleted before the pumps";
    w.main.XferPath = "other.sdx";  // events in the pumps do not change the list converted
  };
  const Bytes record = SdxRecordBytes("MPG2", "   ", "   ", ' ', "     ");
  EXPECT_EQ(w.Convert(record), std::vector<Bytes>{record});
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(Hex(ReadFile(kTempContainer)),
            Hex(Concat({B({0x55, 0xAA, 0x55, 0xAA, 0, 2, 0x10, 0x96, 0, 0, 0, 0, 0, 0, 0, 0x80}), Bytes(48, 0), record})));
  EXPECT_EQ(w.main.XferPath, kTempContainer);
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_EQ(w.files.FreeFile(), 1) << "a file of the conversion is left open";
  EXPECT_EQ(ReadFile("list.sdx"), record);
  EXPECT_EQ(w.view.pumps, 1000);
  EXPECT_EQ(w.view.waits, std::vector<std::chrono::milliseconds>(1000));
}

TEST(SdxConversion, KeepsMpg2RecordsThatChangeFrequencyRateOrPolarisation) {
  const Bytes a = Sdx("011", "778", '0', 'a'), b = Sdx("011", "778", '0', 'b'), c = Sdx("011", "778", '1', 'c'),
              d = Sdx("011", "779", '1', 'd'), e = SdxRecordBytes("MPG2", "011", "779", '1', "22000", 'e');
  const Bytes other = SdxRecordBytes("DVB ", "012", "000", '1', "22000");
  const Bytes blankFields = SdxRecordBytes("MPG2", " x ", "   ", '-', "     ", 'f');
  const Bytes noPol = Sdx("011", "778", ' ');
  struct Case {
    const char* name;
    std::vector<Bytes> list, kept;
  };
  const Case cases[] = {
      {"repeats of the last written record are dropped", {a, b, c, d, e}, {a, c, d, e}},
      {"other systems only move the current values", {a, other, b}, {a}},
      // Fields that do not parse keep the values of the record before, whatever its system.
      {"unparsed fields after another system", {a, other, blankFields}, {a, blankFields}},
      {"unparsed fields after the same values", {a, blankFields}, {a}},
      {"only upper-case MPG2", {SdxRecordBytes("mpg2", "011", "778", '0', "27500"),
                                SdxRecordBytes("Mpg2", "011", "778", '0', "27500")}, {}},
      {"without a polarisation digit each is written", {noPol, noPol, noPol}, {noPol, noPol, noPol}},
      {"a digit once seen stays current", {noPol, a, noPol, noPol}, {noPol, a}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SdxRig w;
    Bytes list;
    for (const auto& r : c.list) list = Concat({list, r});
    EXPECT_EQ(w.Convert(list), c.kept);
    EXPECT_TRUE(w.ok);
  }
}

TEST(SdxConversion, FinalPartShorterThanARecordIsIgnored) {
  SdxRig w;
  const Bytes a = Sdx("011", "778", '0'), b = Sdx("012", "188", '1');
  Bytes tail = Bytes(44, 'Z');
  std::memcpy(tail.data() + 29, "MPG2", 4);
  EXPECT_EQ(w.Convert(Concat({a, b, tail})), (std::vector<Bytes>{a, b}));
  const Bytes tm1 = ReadFile(kTempContainer);
  ASSERT_EQ(tm1.size(), 64u + 256u);
  EXPECT_EQ(Hex(Bytes(tm1.begin() + 12, tm1.begin() + 16)), "00 00 01 00");
}

TEST(SdxConversion, UnreadableListOrTemporaryFilesAreReportedAndLeaveNothing) {
  SdxRig w;
  WriteFile(kTempContainer, Bytes(64, 0));  // from an earlier choice: must not stay behind
  w.Convert({}, "gone.sdx");
  w.ExpectSystemError(ENOENT, "gone.sdx");
  EXPECT_FALSE(fs::exists("gone.sdx"));
  fs::create_directory("folder.sdx");
  w.Convert({}, "folder.sdx");
  w.ExpectSystemError(EISDIR, "folder.sdx");

  struct Case {
    const char* name;
    int err;
    std::size_t fits;  // bytes that can be written; 0: cannot be created
  };
  for (const Case& c : {Case{kTempList, EROFS, 0}, Case{kTempContainer, EACCES, 0}, Case{kTempList, ENOSPC, 100},
                        Case{kTempContainer, ENOSPC, 64 + 128}}) {
    SCOPED_TRACE(std::string(c.name) + " " + std::strerror(c.err));
    w.files.failOpen.clear(), w.files.writeLimit.clear();
    if (c.fits == 0) w.files.failOpen[c.name] = c.err;
    else w.files.writeLimit[c.name] = c.fits;
    w.Convert(Concat({Sdx("011", "778", '0'), Sdx("012", "188", '0')}));
    w.ExpectSystemError(c.err);
  }
  w.files.writeLimit.clear();
  WriteFile(kTempContainer, Bytes(64, 0));
  w.files.failDelete[kTempContainer] = EPERM;
  const long pumps = w.view.pumps;
  w.Convert(Sdx("011", "778", '0'));
  EXPECT_FALSE(w.ok);
  w.ExpectOnlyMessage(std::strerror(EPERM), "", Icon::Exclamation);
  EXPECT_EQ(w.view.pumps, pumps);
}

}  // namespace
}  // namespace kelvane::test
