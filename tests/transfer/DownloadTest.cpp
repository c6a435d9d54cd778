#include "transfer/ProgramDownload.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

// An image of dataLength bytes after its header; a prefixed one carries a length prefix
// that makes the file exactly 128 bytes longer than its value.
Bytes Image(std::size_t dataLength, bool prefixed = false) {
  Bytes header = Pattern(64, 3);
  header[0] = header[2] = 0x55, header[1] = header[3] = 0xAA;
  const std::uint32_t l = static_cast<std::uint32_t>(4 + 64 + dataLength - 128);
  return Concat({prefixed ? B({int(l >> 24), int(l >> 16 & 255), int(l >> 8 & 255), int(l & 255)}) : Bytes{}, header,
                 Pattern(dataLength, 11)});
}

struct Download : Rig {
  Bytes file;
  std::size_t headerSize = 64;
  explicit Download(const Bytes& image = Image(10), bool prefixed = false, Control type = Control::ProgramDot)
      : file(image), headerSize(prefixed ? 68 : 64) {
    WriteFile("image.bin", file);
    Choose(Control::DownDot, type, "image.bin");
  }
  Bytes Header() const { return Concat({B({0x08}), Bytes(file.begin(), file.begin() + long(headerSize))}); }
  std::size_t Blocks() const { return (file.size() - headerSize) / 1024 + 1; }
  // 02 00 FF, the 1024 bytes of block k (FF behind the file's end), 00 FF.
  Bytes Block(std::size_t k) const {
    Bytes data(1024, 0xFF);
    const std::size_t from = headerSize + 1024 * k;
    for (std::size_t i = 0; i < 1024 && from + i < file.size(); ++i) data[i] = file[from + i];
    return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})});
  }
  // Ready, header accepted, the first blocks acknowledged (all by default), end of data.
  void Script(std::size_t acked = ~std::size_t{0}) {
    rx.Send({0x01}).Expect(Header()).Send({0x10});
    for (std::size_t k = 0; k < std::min(acked, Blocks()); ++k) rx.Expect(Block(k)).Send({0x10});
    if (acked >= Blocks()) rx.Expect({0x03});
  }
};

TEST(Download, SendsHeaderThenEveryBlockInFourWritesAndTheEnd) {
  const std::tuple<std::size_t, bool, Control> cases[] = {
      {0, false, Control::ProgramDot}, {1, false, Control::ProgramDot}, {1024, false, Control::ProgramDot},
      {2049, false, Control::ProgramDot}, {60, true, Control::ProgramDot}, {2049, true, Control::ProgramDot},
      {100, false, Control::SDXDot}};
  for (const auto& [dataLength, prefixed, type] : cases) {
    SCOPED_TRACE(std::to_string(dataLength) + (prefixed ? " prefixed" : ""));
    Download d(Image(dataLength, prefixed), prefixed, type);
    d.Script();
    d.rx.Send({0x17});
    d.Start();
    const auto& w = d.serial.writes;
    ASSERT_EQ(w.size(), 2 + 4 * (dataLength / 1024 + 1) + 1);
    EXPECT_EQ(w[1].size(), d.headerSize);
    for (std::size_t k = 0; k < d.Blocks(); ++k)
      EXPECT_EQ((std::vector<std::size_t>{w[2 + 4 * k].size(), w[3 + 4 * k].size(), w[4 + 4 * k].size(),
                                          w[5 + 4 * k].size()}),
                (std::vector<std::size_t>{1, 2, 1024, 2}));
    d.ExpectOnlyMessage("Kelvane Complete", "Kelvane", Icon::Information);
    ASSERT_EQ(d.view.progressHistory.size(), d.Blocks() + 1);  // one per block, then 0 at the end
    EXPECT_FLOAT_EQ(d.view.progressHistory[d.Blocks() - 1], 95.0f);
    d.ExpectUnlocked();
  }
}

TEST(Download, ShowsFilePositionAndFillsTheLastBlockWithFF) {
  Bytes image = Image(2100);
  std::fill(image.begin() + 64, image.end(), 0x5A);
  Download d(image);  // 2164 bytes: blocks end at 1088, 2112, 2164
  std::vector<std::string> infos;
  d.rx.Send({0x55, 0x01, 0x66}).Expect(d.Header()).Send({0x10});  // ready amid other bytes
  for (std::size_t k = 0; k < 3; ++k)
    d.rx.Expect(d.Block(k)).Send({0x10}).AwaitRead().Idle(1).Do([&] { infos.push_back(d.view.Text(Control::Info)); });
  d.rx.Expect({0x03}).Send({0x17});
  d.Start();
  EXPECT_EQ(infos, (std::vector<std::string>{"1k/2K", "2k/2K", "2k/2K"}));
  EXPECT_FLOAT_EQ(d.view.progressHistory[0], 1088.0f * 95 / 2164);
  EXPECT_EQ(Hex(d.serial.writes[12]), Hex(Concat({Bytes(52, 0x5A), Bytes(1024 - 52, 0xFF)})));
}

TEST(Download, HeaderVerdictsAreShownInOrderAndNoDataFollowsARefusal) {
  const std::vector<std::pair<Bytes, std::vector<std::string>>> cases = {
      {B({0x10, 0x12}), {"Kelvane Complete"}},
      {B({0x11}), {}},
      {B({0x12}), {"HW version is not matched"}},
      {B({0x13}), {"SW version is lower"}},
      {B({0x12, 0x14}), {"HW version is not matched", "Model ID is not matched"}},
      {B({0x14, 0x13, 0x12}), {"HW version is not matched", "SW version is lower", "Model ID is not matched"}}};
  for (const auto& [verdict, texts] : cases) {
    SCOPED_TRACE(Hex(verdict));
    Download d;
    const bool accepted = verdict[0] == 0x10;
    d.rx.Send({0x01}).Expect(d.Header()).Send(verdict);
    if (accepted) d.rx.Expect(d.Block(0)).Send({0x10}).Expect({0x03}).Send({0x17});
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), texts);
    for (const auto& m : d.view.messages)
      if (!accepted) {
        EXPECT_EQ(m.title, "File Error");
        EXPECT_EQ(m.icon, Icon::Critical);
      }
    EXPECT_EQ(d.main.StopFlag, !accepted);
    d.ExpectUnlocked();
  }
}

TEST(Download, FinalVerdictsAreShownInOrderFromAFreshReadOnly) {
  for (const auto& [verdict, texts] : std::vector<std::pair<Bytes, std::vector<std::string>>>{
           {B({0x16, 0x15}), {"CheckSUM Error", "Verify Error"}},
           {B({0x15}), {"CheckSUM Error"}},
           {B({0x33, 0x17}), {"Kelvane Complete"}}}) {
    Download d;
    d.Script();
    d.rx.Send(verdict);
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), texts) << Hex(verdict);
    if (texts.size() > 1) { EXPECT_EQ(d.view.messages[0].title, "Kelvane Error"); }
  }
  // A 17 in the same read as the last block's 10 is not seen; Stop ends the final wait and
  // the verdict is read from the last chunk that came, which said complete.
  for (bool stop : {false, true}) {
    Download d;
    d.rx.Send({0x01}).Expect(d.Header()).Send({0x10}).Expect(d.Block(0)).Send({0x10, 0x17}).Expect({0x03}).Idle(50);
    d.rx.Do([&] { EXPECT_TRUE(d.view.messages.empty()); });
    stop ? d.rx.Stop() : d.rx.Send({0x17});
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});
  }
  Download e(Image(1100));  // an error byte during an acknowledgement wait is ignored
  e.rx.Send({0x01}).Expect(e.Header()).Send({0x10}).Expect(e.Block(0)).Send({0x15}).Idle(20);
  e.rx.Send({0x10}).Expect(e.Block(1)).Send({0x10}).Expect({0x03}).Send({0x17});
  e.Start();
  EXPECT_EQ(e.view.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});
}

TEST(Download, StopInEveryWaitStillSendsTheEndOfData) {
  // -1: waiting for ready, 0: for the header's verdict, n: for the ack of block n, 4: final wait.
  for (int phase : {-1, 0, 1, 2, 4}) {
    SCOPED_TRACE(phase);
    Download d(Image(3000));
    if (phase == 0) d.rx.Send({0x01}).Expect(d.Header());
    if (phase > 0) d.Script(std::size_t(phase) - 1);
    if (phase > 0 && phase < 4) d.rx.Expect(d.Block(std::size_t(phase) - 1));
    d.rx.Idle(5).Stop();
    if (phase < 4) d.rx.Expect({0x03});
    d.Start();
    EXPECT_TRUE(d.view.messages.empty());
    d.ExpectUnlocked();
  }
}

TEST(Download, MissingOrShortFileIsReportedBeforeAnythingIsSent) {
  Download m;
  m.main.XferPath = "absent.bin";
  m.Start();
  m.ExpectOnlyMessage("No such file or directory", "", Icon::Exclamation);
  EXPECT_FALSE(fs::exists("absent.bin")) << "a download never creates its file";
  m.ExpectUnlocked();
  const Bytes image = Image(0);
  for (long size : {0, 3, 63}) {
    Download s(Bytes(image.begin(), image.begin() + size));
    s.Start();
    s.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
    EXPECT_EQ(ReadFile("image.bin").size(), std::size_t(size)) << "the file is never written";
    s.ExpectUnlocked();
  }
}

}  // namespace
}  // namespace kelvane::test
