#include "transfer/ProgramDownload.h"

#include <gtest/gtest.h>

#include "transfer/Protocol.h"
#include "transfer/TransferRig.h"

namespace kelvane::test {
namespace {

// A program image with dataLength bytes after its header; prefixed images carry a length
// prefix that makes the file exactly 128 bytes longer than its value.
Bytes Image(std::size_t dataLength, bool prefixed) {
  Bytes header = Pattern(64, 3);
  header[0] = 0x55, header[1] = 0xAA, header[2] = 0x55, header[3] = 0xAA;
  Bytes out;
  if (prefixed) {
    const std::uint32_t total = static_cast<std::uint32_t>(4 + 64 + dataLength);
    const std::uint32_t l = total - 128;
    out = B({int(l >> 24), int((l >> 16) & 255), int((l >> 8) & 255), int(l & 255)});
  }
  return Concat({out, header, Pattern(dataLength, 11)});
}

// The data block as the PC sends it: 02 00 FF, the 1024 bytes (FF behind the file's end), 00 FF.
Bytes DataBlock(const Bytes& file, std::size_t from) {
  Bytes data(1024, 0xFF);
  for (std::size_t i = 0; i < 1024 && from + i < file.size(); ++i) data[i] = file[from + i];
  return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})});
}

struct Download : Rig {
  Bytes file;
  std::size_t headerSize = 64;

  void Prepare(const Bytes& bytes, bool prefixed = false, Type type = Type::Program) {
    file = bytes;
    headerSize = prefixed ? 68 : 64;
    WriteFile("image.bin", file);
    Choose(Mode::DownLoad, type, "image.bin");
  }
  Bytes HeaderBlock() const { return Concat({B({0x08}), Bytes(file.begin(), file.begin() + long(headerSize))}); }
  std::size_t Blocks() const { return (file.size() - headerSize) / 1024 + 1; }
  // Ready, header accepted, every block acknowledged.
  void ScriptUpToEnd() {
    rx.Send({0x01}).Expect(HeaderBlock()).Send({0x10});
    for (std::size_t k = 0; k < Blocks(); ++k) rx.Expect(DataBlock(file, headerSize + 1024 * k)).Send({0x10});
    rx.Expect({0x03});
  }
};

struct SizeCase {
  std::size_t data;
  bool prefixed;
};

class DownloadSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DownloadSizes, SendsHeaderThenDataInFourWritesPerBlock) {
  const auto [dataLength, prefixed] = GetParam();
  Download d;
  d.Prepare(Image(dataLength, prefixed), prefixed);
  EXPECT_EQ(d.Blocks(), dataLength / 1024 + 1);
  d.ScriptUpToEnd();
  d.rx.Send({0x17});
  d.Start();
  d.ExpectTranscript();

  // 08, the header block, four writes per block, 03.
  const auto& w = d.serial.writes;
  ASSERT_EQ(w.size(), 2 + 4 * d.Blocks() + 1);
  EXPECT_EQ(w[0].size(), 1u);
  EXPECT_EQ(w[1].size(), d.headerSize);
  for (std::size_t k = 0; k < d.Blocks(); ++k) {
    EXPECT_EQ(Hex(w[2 + 4 * k]), "02");
    EXPECT_EQ(Hex(w[3 + 4 * k]), "00 FF");
    EXPECT_EQ(w[4 + 4 * k].size(), 1024u);
    EXPECT_EQ(Hex(w[5 + 4 * k]), "00 FF");
  }
  EXPECT_EQ(Hex(w.back()), "03");

  ASSERT_EQ(d.view.messages.size(), 1u);
  EXPECT_EQ(d.view.messages[0].text, "Kelvane Complete");
  EXPECT_EQ(d.view.messages[0].title, "Kelvane");
  EXPECT_EQ(d.view.messages[0].icon, Icon::Information);
  // One bar value per block, then 0 from the end of the transfer; never above 95.
  ASSERT_EQ(d.view.progressHistory.size(), d.Blocks() + 1);
  const float last = d.view.progressHistory[d.Blocks() - 1];
  EXPECT_FLOAT_EQ(last, 95.0f);
  ExpectUnlocked(d);
}

INSTANTIATE_TEST_SUITE_P(, DownloadSizes,
                         ::testing::Values(SizeCase{0, false}, SizeCase{1, false}, SizeCase{1024, false},
                                           SizeCase{2048, false}, SizeCase{2049, false}, SizeCase{60, true},
                                           SizeCase{2049, true}));

TEST(Download, SdxContainerGoesThroughTheSameExchange) {
  Download d;
  d.Prepare(Image(100, false), false, Type::Sdx);
  d.ScriptUpToEnd();
  d.rx.Send({0x17});
  d.Start();
  d.ExpectTranscript();
  EXPECT_EQ(d.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});
}

TEST(Download, LastBlockIsFilledWithFFNotWithThePreviousBlock) {
  Download d;
  Bytes file = Image(1025, false);
  std::fill(file.begin() + 64, file.end(), 0x5A);
  d.Prepare(file);
  d.ScriptUpToEnd();
  d.rx.Send({0x17});
  d.Start();
  d.ExpectTranscript();
  const Bytes& last = d.serial.writes[2 + 4 + 2];
  ASSERT_EQ(last.size(), 1024u);
  EXPECT_EQ(last[0], 0x5A);
  EXPECT_TRUE(std::all_of(last.begin() + 1, last.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(Download, ProgressShowsFilePositionAfterEachBlock) {
  Download d;
  d.Prepare(Image(3000, false));  // 3064 bytes: blocks end at 1088, 2112, 3064
  std::vector<std::string> infos;
  auto info = [&] { infos.push_back(d.view.Text(Control::Info)); };
  d.rx.Send({0x01}).Expect(d.HeaderBlock()).Send({0x10});
  for (std::size_t k = 0; k < 3; ++k) d.rx.Expect(DataBlock(d.file, 64 + 1024 * k)).Send({0x10}).AwaitRead().Idle(1).Do(info);
  d.rx.Expect({0x03}).Send({0x17});
  d.Start();
  EXPECT_EQ(infos, (std::vector<std::string>{"1k/3K", "2k/3K", "3k/3K"}));
  EXPECT_FLOAT_EQ(d.view.progressHistory[0], 1088.0f * 95 / 3064);
}

TEST(Download, ReadyCountsAmidOtherBytesAndWhenAlreadyWaiting) {
  Download d;
  d.Prepare(Image(10, false));
  d.rx.Send({0x55, 0x01, 0x66}).Expect(d.HeaderBlock()).Send({0x10}).Expect(DataBlock(d.file, 64)).Send({0x10});
  d.rx.Expect({0x03}).Send({0x17});
  d.Start();
  d.ExpectTranscript();

  Download w;  // bytes waiting before the transfer starts are read like new ones
  w.Prepare(Image(10, false));
  w.serial.Deliver({0x01});
  w.rx.Expect(w.HeaderBlock()).Send({0x10}).Expect(DataBlock(w.file, 64)).Send({0x10}).Expect({0x03}).Send({0x17});
  w.Start();
  w.ExpectTranscript();
}

struct VerdictCase {
  Bytes chunk;
  bool accepted;
  std::vector<std::string> messages;
};

class HeaderVerdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(HeaderVerdicts, ShowRefusalsInOrderAndSendNoData) {
  const auto& c = GetParam();
  Download d;
  d.Prepare(Image(10, false));
  d.rx.Send({0x01}).Expect(d.HeaderBlock()).Send(c.chunk);
  if (c.accepted) d.rx.Expect(DataBlock(d.file, 64)).Send({0x10}).Expect({0x03}).Send({0x17});
  d.Start();
  d.ExpectTranscript();
  auto expected = c.messages;
  if (c.accepted) expected.push_back("Kelvane Complete");
  EXPECT_EQ(d.MessageTexts(), expected);
  for (const auto& m : d.view.messages) {
    if (m.text == "Kelvane Complete") continue;
    EXPECT_EQ(m.title, "File Error");
    EXPECT_EQ(m.icon, Icon::Critical);
  }
  EXPECT_EQ(d.main.StopFlag, !c.accepted);
  ExpectUnlocked(d);
}

INSTANTIATE_TEST_SUITE_P(
    , HeaderVerdicts,
    ::testing::Values(VerdictCase{B({0x10, 0x12}), true, {}}, VerdictCase{B({0x11}), false, {}},
                      VerdictCase{B({0x12}), false, {"HW version is not matched"}},
                      VerdictCase{B({0x13}), false, {"SW version is lower"}},
                      VerdictCase{B({0x12, 0x14}), false, {"HW version is not matched", "Model ID is not matched"}},
                      VerdictCase{B({0x14, 0x13, 0x12}), false,
                                  {"HW version is not matched", "SW version is lower", "Model ID is not matched"}}));

TEST(Download, FinalVerdictsAreShownInOrder) {
  struct Case {
    Bytes chunk;
    std::vector<std::string> texts;
  };
  for (const auto& c : {Case{B({0x16, 0x15}), {"CheckSUM Error", "Verify Error"}}, Case{B({0x15}), {"CheckSUM Error"}},
                        Case{B({0x33, 0x17}), {"Kelvane Complete"}}}) {
    Download d;
    d.Prepare(Image(10, false));
    d.ScriptUpToEnd();
    d.rx.Send(c.chunk);
    d.Start();
    EXPECT_EQ(d.MessageTexts(), c.texts) << Hex(c.chunk);
    for (const auto& m : d.view.messages)
      if (m.text != "Kelvane Complete") {
        EXPECT_EQ(m.title, "Kelvane Error");
      }
  }
}

TEST(Download, OnlyAFreshReadIsSearchedForAStatusByte) {
  // The 17 in the same read as the last block's 10 is not seen: the final wait goes on.
  Download d;
  d.Prepare(Image(10, false));
  d.rx.Send({0x01}).Expect(d.HeaderBlock()).Send({0x10}).Expect(DataBlock(d.file, 64)).Send({0x10, 0x17});
  d.rx.Expect({0x03}).Idle(50).Do([&] { EXPECT_TRUE(d.view.messages.empty()); }).Send({0x17});
  d.Start();
  EXPECT_EQ(d.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});

  // Stop then ends the final wait, and the verdict is read from the last chunk that came:
  // the receiver did say it was complete.
  Download s;
  s.Prepare(Image(10, false));
  s.rx.Send({0x01}).Expect(s.HeaderBlock()).Send({0x10}).Expect(DataBlock(s.file, 64)).Send({0x10, 0x17});
  s.rx.Expect({0x03}).Idle(20).Stop();
  s.Start();
  s.ExpectTranscript();
  EXPECT_EQ(s.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});

  // An error byte during a block's acknowledgement wait is ignored; only 10 goes on.
  Download e;
  e.Prepare(Image(1100, false));
  e.rx.Send({0x01}).Expect(e.HeaderBlock()).Send({0x10}).Expect(DataBlock(e.file, 64)).Send({0x15}).Idle(20);
  e.rx.Send({0x10}).Expect(DataBlock(e.file, 64 + 1024)).Send({0x10}).Expect({0x03}).Send({0x17});
  e.Start();
  e.ExpectTranscript();
  EXPECT_EQ(e.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});
}

TEST(Download, StopInEveryWaitStillSendsTheEndOfData) {
  struct Case {
    const char* state;
    int acceptedBlocks;  // -2: waiting for ready, -1: for the verdict, n: for the ack of block n+1
  };
  for (const auto& c : {Case{"ready", -2}, Case{"verdict", -1}, Case{"first ack", 0}, Case{"second ack", 1}}) {
    Download d;
    d.Prepare(Image(3000, false));
    if (c.acceptedBlocks >= -1) d.rx.Send({0x01}).Expect(d.HeaderBlock());
    if (c.acceptedBlocks >= 0) d.rx.Send({0x10});
    for (int k = 0; k <= c.acceptedBlocks; ++k) {
      d.rx.Expect(DataBlock(d.file, 64 + 1024 * std::size_t(k)));
      if (k < c.acceptedBlocks) d.rx.Send({0x10});
    }
    d.rx.Idle(5).Stop().Expect({0x03});
    d.Start();
    d.ExpectTranscript();
    EXPECT_TRUE(d.view.messages.empty()) << c.state;
    ExpectUnlocked(d);
  }
}

TEST(Download, StopDuringTheFinalWaitEndsIt) {
  Download d;
  d.Prepare(Image(10, false));
  d.ScriptUpToEnd();
  d.rx.Idle(5).Stop();
  d.Start();
  d.ExpectTranscript();
  EXPECT_TRUE(d.view.messages.empty());
}

TEST(Download, MissingOrShortFileIsReportedBeforeAnythingIsSent) {
  Download m;
  m.Choose(Mode::DownLoad, Type::Program, "absent.bin");
  m.Start();
  EXPECT_TRUE(m.serial.written.empty());
  ASSERT_EQ(m.view.messages.size(), 1u);
  EXPECT_EQ(m.view.messages[0].text, "No such file or directory");
  EXPECT_EQ(m.view.messages[0].title, "");
  EXPECT_EQ(m.view.messages[0].icon, Icon::Exclamation);
  EXPECT_FALSE(m.FileExists("absent.bin")) << "a download never creates its file";
  ExpectUnlocked(m);

  for (std::size_t size : {0, 3, 63}) {
    Download s;
    const Bytes image = Image(0, false);
    s.WriteFile("short.bin", Bytes(image.begin(), image.begin() + long(size)));
    s.Choose(Mode::DownLoad, Type::Program, "short.bin");
    s.Start();
    EXPECT_TRUE(s.serial.written.empty()) << size;
    ASSERT_EQ(s.view.messages.size(), 1u);
    EXPECT_EQ(s.view.messages[0].text, "Invalid File format");
    EXPECT_EQ(s.view.messages[0].title, "File Error");
    EXPECT_EQ(s.view.messages[0].icon, Icon::Critical);
    EXPECT_EQ(s.ReadFile("short.bin").size(), size) << "the file is never written";
    ExpectUnlocked(s);
  }
}

}  // namespace
}  // namespace kelvane::test
