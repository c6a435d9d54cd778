#include "transfer/Upload.h"

#include <gtest/gtest.h>

#include "transfer/TransferRig.h"

namespace kelvane::test {
namespace {

// The header the receiver sends, announcing length and carrying versions and model code.
Bytes Header(std::uint32_t announced = 0x00200000) {
  Bytes h = Pattern(64, 5);
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<std::uint8_t>(announced >> (24 - 8 * i));
  h[18] = 0x01, h[19] = 0x05;  // HW 1.05
  h[22] = 0x2A, h[23] = 0x0B;  // SW 2A.0B
  h[26] = 0x12, h[27] = 0x05;  // model 1205
  return h;
}

// A block frame: a lead byte other than 03, two bytes, the 1024 data bytes, two bytes.
Bytes Frame(const Bytes& data) { return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})}); }

struct Upload : Rig {
  Upload() {
    Choose(Mode::UpLoad, Type::Program, "up.bin");
  }
  // Ready answered with the header, which is acknowledged.
  void ScriptHeader(const Bytes& header) { rx.Expect({0x01}).Send(Concat({B({0x08}), header})).Expect({0x10}); }
  void ScriptBlock(const Bytes& data) { rx.Send(Frame(data)).Expect({0x10}); }
  void ScriptEnd() { rx.Send({0x03}).Expect({0x17}); }
};

TEST(Upload, StoresHeaderAndBlocksAndShowsTheHeader) {
  Upload u;
  const Bytes h = Header();
  const Bytes d1 = Pattern(1024, 1), d2 = Pattern(1024, 2);
  u.rx.Expect({0x01}).Send({0x55, 0x08 - 1, 0x00}).Send(Concat({B({0x08}), h})).Expect({0x10});
  u.ScriptBlock(d1);
  u.ScriptBlock(d2);
  u.ScriptEnd();
  u.Start();
  u.ExpectTranscript();
  // Every write a single control byte.
  for (const auto& w : u.serial.writes) EXPECT_EQ(w.size(), 1u);

  EXPECT_EQ(u.ReadFile("up.bin"), Concat({h, d1, d2}));
  EXPECT_EQ(u.view.Text(Control::HWver), "HW version : 1.05");
  EXPECT_EQ(u.view.Text(Control::SWver), "SW version : 2A.0B");
  EXPECT_EQ(u.view.Text(Control::ModelID), "Model ID : 1205");
  EXPECT_EQ(u.view.Text(Control::File), u.Path("up.bin"));
  ASSERT_EQ(u.view.messages.size(), 1u);
  EXPECT_EQ(u.view.messages[0].text, "Upload Completed");
  EXPECT_EQ(u.view.messages[0].title, "UpLoad");
  EXPECT_EQ(u.view.messages[0].icon, Icon::Information);
  // One byte per read while the upload runs, all bytes per read afterwards.
  ASSERT_FALSE(u.serial.inputLenHistory.empty());
  EXPECT_EQ(u.serial.inputLenHistory.front(), 1);
  EXPECT_EQ(u.serial.inputLenHistory.back(), 0);
  EXPECT_GE(u.serial.inDrops, 1) << "the port is flushed before ready";
  // The short pause before each block's acknowledge, taken without pumping.
  EXPECT_EQ(u.clock.pauses, (std::vector<std::chrono::microseconds>(2, kAckPause)));
  ExpectUnlocked(u);
}

TEST(Upload, SizeTextCountsBlocksAgainstTheAnnouncedLength) {
  Upload u;
  u.ScriptHeader(Header(0x00200000));
  for (int k = 0; k < 3; ++k) u.ScriptBlock(Pattern(1024, std::uint8_t(k)));
  u.rx.Do([&] {
    EXPECT_EQ(u.view.Text(Control::Info), "3k/2097K");
    EXPECT_FLOAT_EQ(u.view.progress, float((64.0 + 3 * 1024) * 95 / 2097152));
  });
  u.ScriptEnd();
  u.Start();
  u.ExpectTranscript();

  Upload z;  // nothing announced: the bar stands at 95
  z.ScriptHeader(Header(0));
  z.ScriptBlock(Pattern(1024));
  z.rx.Do([&] {
    EXPECT_EQ(z.view.Text(Control::Info), "1k/0K");
    EXPECT_EQ(z.view.progress, 95.0f);
  });
  z.ScriptEnd();
  z.Start();
}

TEST(Upload, EndMarkerRightAfterTheHeader) {
  Upload u;
  u.ScriptHeader(Header());
  u.ScriptEnd();
  u.Start();
  u.ExpectTranscript();
  EXPECT_EQ(u.ReadFile("up.bin"), Header());
  EXPECT_EQ(u.MessageTexts(), std::vector<std::string>{"Upload Completed"});
  EXPECT_TRUE(u.clock.pauses.empty());
}

TEST(Upload, ReadyIsRepeatedOnEachTickUntilTheHeaderStarts) {
  Upload u;
  const Bytes h = Header();
  u.rx.Expect({0x01}).Tick().Expect({0x01}).Send({0x44}).AwaitRead().Tick().Expect({0x01});
  // Once the 08 has come a stalled header waits: ticks send nothing.
  u.rx.Send(Concat({B({0x08}), Bytes(h.begin(), h.begin() + 20)})).AwaitRead().Tick(8);
  u.rx.Send(Bytes(h.begin() + 20, h.end())).Expect({0x10});
  u.ScriptEnd();
  u.Start();
  u.ExpectTranscript();
  EXPECT_EQ(u.ReadFile("up.bin"), Header());
}

TEST(Upload, SixSilentTicksInABlockAskForItAgain) {
  const Bytes h = Header();
  const Bytes partial = Pattern(1024, 9), repeated = Pattern(1024, 4);
  const Bytes frame = Frame(partial);
  Upload u;
  u.ScriptHeader(h);
  // Five silent ticks change nothing; a byte resets the count.
  u.rx.Send(Bytes(frame.begin(), frame.begin() + 300)).AwaitRead().Tick(5);
  u.rx.Send(Bytes(frame.begin() + 300, frame.begin() + 301)).AwaitRead().Tick(5);
  u.rx.Send(Bytes(frame.begin() + 301, frame.end())).Expect({0x10});
  // The sixth sends 11 and the block starts again from its first byte.
  const Bytes next = Frame(repeated);
  u.rx.Send(Bytes(next.begin(), next.begin() + 500)).AwaitRead().Tick(6).Expect({0x11});
  u.ScriptBlock(repeated);
  u.ScriptEnd();
  u.Start();
  u.ExpectTranscript();
  EXPECT_EQ(u.ReadFile("up.bin"), Concat({h, partial, repeated}));
}

TEST(Upload, StopKeepsWhatWasWritten) {
  const Bytes h = Header();
  Upload inHeader;
  inHeader.rx.Expect({0x01}).Send(Concat({B({0x08}), Bytes(h.begin(), h.begin() + 10)}))
      .AwaitRead().Stop();
  inHeader.Start();
  inHeader.ExpectTranscript();
  EXPECT_TRUE(inHeader.FileExists("up.bin"));
  EXPECT_TRUE(inHeader.ReadFile("up.bin").empty());
  EXPECT_EQ(inHeader.view.Text(Control::HWver), "HW version : 0.00");
  EXPECT_EQ(inHeader.view.Text(Control::SWver), "SW version : 0.00");
  EXPECT_EQ(inHeader.view.Text(Control::ModelID), "Model ID : 000");
  EXPECT_TRUE(inHeader.view.messages.empty());
  ExpectUnlocked(inHeader);

  Upload inBlocks;
  const Bytes d1 = Pattern(1024, 1), d2 = Pattern(1024, 2);
  inBlocks.ScriptHeader(Header());
  inBlocks.ScriptBlock(d1);
  inBlocks.ScriptBlock(d2);
  const Bytes third = Frame(d1);
  inBlocks.rx.Send(Bytes(third.begin(), third.begin() + 700)).AwaitRead().Stop();
  inBlocks.Start();
  inBlocks.ExpectTranscript();
  EXPECT_EQ(inBlocks.ReadFile("up.bin"), Concat({Header(), d1, d2}));
  EXPECT_TRUE(inBlocks.view.messages.empty());
  ExpectUnlocked(inBlocks);
}

TEST(Upload, FailedWriteEndsTheUploadWithTheSystemsReason) {
  // 0: the header cannot be written; 2: the second block cannot.
  for (int okWrites : {0, 2}) {
    Upload u;
    u.files.writesBeforeFailure = okWrites;
    u.rx.Expect({0x01}).Send(Concat({B({0x08}), Header()}));
    if (okWrites > 0) {
      u.rx.Expect({0x10});
      u.ScriptBlock(Pattern(1024, 1));
      u.rx.Send(Frame(Pattern(1024, 2)));
    }
    u.Start();
    u.ExpectTranscript();  // nothing acknowledged after the failure
    ASSERT_EQ(u.view.messages.size(), 1u) << okWrites;
    EXPECT_EQ(u.view.messages[0].text, "No space left on device");
    EXPECT_EQ(u.view.messages[0].title, "");
    EXPECT_EQ(u.view.messages[0].icon, Icon::Exclamation);
    ExpectUnlocked(u);
  }
}

TEST(Upload, OlderLongerFileIsReplacedWhole) {
  Upload u;
  u.WriteFile("up.bin", Bytes(5000, 0xAA));
  u.ScriptHeader(Header());
  u.ScriptBlock(Pattern(1024));
  u.ScriptEnd();
  u.Start();
  EXPECT_EQ(u.ReadFile("up.bin"), Concat({Header(), Pattern(1024)}));
}

TEST(Upload, FileThatCannotBeOpenedIsReportedAndNothingSent) {
  Upload u;
  u.main.XferPath = u.Path("no-such-folder/up.bin");
  u.Start();
  EXPECT_TRUE(u.serial.written.empty());
  ASSERT_EQ(u.view.messages.size(), 1u);
  EXPECT_EQ(u.view.messages[0].text, "No such file or directory");
  EXPECT_EQ(u.view.messages[0].icon, Icon::Exclamation);
  ExpectUnlocked(u);
}

}  // namespace
}  // namespace kelvane::test
