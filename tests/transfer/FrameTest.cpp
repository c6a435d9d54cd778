#include "transfer/Frame.h"

#include <gtest/gtest.h>

#include "transfer/TransferRig.h"

namespace kelvane::test {
namespace {

TEST(SizeText, CountsThousandsOfBytes) {
  EXPECT_EQ(SizeText(0, 0), "0k/0K");
  EXPECT_EQ(SizeText(999, 1000), "0k/1K");
  EXPECT_EQ(SizeText(1024, 1999), "1k/1K");
  EXPECT_EQ(SizeText(2048, 2097152), "2k/2097K");
  EXPECT_EQ(SizeText(5'000'000'000, 6'000'000'000), "5000000k/6000000K");
}

TEST(ProgressValue, ScalesToNinetyFiveAndStopsThere) {
  EXPECT_EQ(ProgressValue(95, 95), 95.0f);
  EXPECT_EQ(ProgressValue(100, 95), 95.0f);
  EXPECT_EQ(ProgressValue(1, 0), 95.0f);
  EXPECT_EQ(ProgressValue(0, 0), 95.0f);
  EXPECT_EQ(ProgressValue(0, 100), 0.0f);
  EXPECT_FLOAT_EQ(ProgressValue(1, 3), 95.0f / 3);
  EXPECT_FLOAT_EQ(ProgressValue(3136, 2097152), 3136.0f * 95 / 2097152);
}

// Every way a transfer can end, each started from a chosen file with the port open.
struct WayOut {
  const char* name;
  Mode mode;
  Type type;
  std::function<void(Rig&)> script;
};

const Bytes kImage = [] {
  Bytes b = Pattern(100);
  b[0] = 0x55, b[1] = 0xAA, b[2] = 0x55, b[3] = 0xAA;
  return b;
}();

std::vector<WayOut> WaysOut() {
  return {
      {"download complete", Mode::DownLoad, Type::Program,
       [](Rig& r) { r.rx.Send({0x01}).Expect({0x08}).Idle(1).Send({0x10}).Idle(3).Send({0x10}).Expect({}).Idle(3).Send({0x17}); }},
      {"download refused", Mode::DownLoad, Type::Program, [](Rig& r) { r.rx.Send({0x01}).Idle(3).Send({0x12}); }},
      {"download stopped", Mode::DownLoad, Type::Program, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"download file missing", Mode::DownLoad, Type::Program, [](Rig& r) { r.main.XferPath = r.Path("none"); }},
      {"sdx stopped", Mode::DownLoad, Type::Sdx, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"temu ended", Mode::DownLoad, Type::Temu, [](Rig& r) { r.rx.Send({0x02, 0x0A, 0x03}); }},
      {"temu stopped", Mode::DownLoad, Type::Temu, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"upload complete", Mode::UpLoad, Type::Program,
       [](Rig& r) { r.rx.Expect({0x01}).Send(Concat({B({0x08}), Bytes(64, 0)})).Expect({0x10}).Send({0x03}); }},
      {"upload stopped", Mode::UpLoad, Type::Sdx, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"upload cannot open", Mode::UpLoad, Type::Program, [](Rig& r) { r.main.XferPath = r.Path("none/up.bin"); }},
      {"upload with temu selected", Mode::UpLoad, Type::Temu, [](Rig&) {}},
  };
}

TEST(Frame, EveryWayOutUnlocksTheWindow) {
  for (const auto& way : WaysOut()) {
    SCOPED_TRACE(way.name);
    Rig r;
    r.WriteFile("file.bin", kImage);
    r.Choose(way.mode, way.type, "file.bin");
    r.main.ChosenPath = "chosen.bin";
    bool lockedSeen = false;
    r.rx.Do([&] {
      // The window while the exchange runs: only Stop usable.
      const auto& v = r.view;
      lockedSeen = r.main.TransferRunning() && !v.Enabled(Control::ModeFrame) && !v.Enabled(Control::TypeFrame) &&
                   !v.Enabled(Control::Start) && !v.Enabled(Control::Browse) && !v.Enabled(Control::File) &&
                   v.Enabled(Control::ExitButton) && !v.Enabled(Control::portOpen);
      EXPECT_EQ(r.settings.writes.size(), 3u) << "settings are written before the exchange";
    });
    way.script(r);
    r.main.Start_Click();
    const bool exchangeRan = r.view.pumps > 0;
    if (exchangeRan) {
      EXPECT_TRUE(lockedSeen);
    }
    const std::string type = way.type == Type::Program ? "1" : way.type == Type::Sdx ? "2" : "3";
    EXPECT_EQ(r.settings.writes,
              (std::vector<std::string>{std::string("Startup/Mode=") + (way.mode == Mode::DownLoad ? "1" : "2"),
                                        "Startup/Type=" + type, "Startup/FileName=chosen.bin"}));
    ExpectUnlocked(r);
    EXPECT_FALSE(r.files.IsOpen(1));
    EXPECT_FALSE(r.files.IsOpen(2));
  }
}

TEST(Frame, UploadWithTemuSelectedSendsNothing) {
  Rig r;
  r.Choose(Mode::UpLoad, Type::Temu, "up.bin");
  r.main.Start_Click();
  EXPECT_TRUE(r.serial.written.empty());
  EXPECT_TRUE(r.view.messages.empty());
  EXPECT_EQ(r.view.pumps, 0);
  EXPECT_FALSE(r.FileExists("up.bin"));
  ExpectUnlocked(r);
}

TEST(Frame, ClosedPortStartsNothing) {
  Rig r;
  r.WriteFile("file.bin", kImage);
  r.Choose(Mode::DownLoad, Type::Program, "file.bin");
  r.serial.SetPortOpen(false);
  r.main.Start_Click();
  EXPECT_TRUE(r.settings.writes.empty());
  EXPECT_TRUE(r.serial.written.empty());
  EXPECT_EQ(r.view.pumps, 0);
}

TEST(Frame, TransferFileNumber) {
  struct Case {
    std::int16_t reserved;  // FileNum as the selection left it
    bool otherOpenUnderOne;
    int used;
  };
  for (const auto& c : {Case{7, false, 7}, Case{0, false, 1}, Case{1, true, 2}}) {
    Rig r;
    r.WriteFile("file.bin", kImage);
    r.WriteFile("other", {});
    r.Choose(Mode::DownLoad, Type::Program, "file.bin");
    if (c.otherOpenUnderOne) {
      ASSERT_TRUE(r.files.Open(1, r.Path("other"), OpenMode::Read));
    }
    r.main.FileNum = c.reserved;
    int seen = 0;
    bool openSeen = false;
    r.rx.Do([&] {
      seen = r.main.FileNum;
      openSeen = r.files.IsOpen(seen);
    }).Stop();
    r.main.Start_Click();
    EXPECT_EQ(seen, c.used);
    EXPECT_TRUE(openSeen);
    EXPECT_FALSE(r.files.IsOpen(c.used)) << "closed by the end of the transfer";
    EXPECT_EQ(r.main.FileNum, 0);
    EXPECT_EQ(r.files.IsOpen(1), c.otherOpenUnderOne) << "another file is left alone";
  }
}

// The line fails under each exchange: the transfer ends, the port is shown closed.
TEST(Frame, LostLineEndsTheTransferAndClosesThePort) {
  const std::vector<std::pair<const char*, std::function<void(Rig&)>>> cases = {
      {"download in the block phase", [](Rig& r) {
         r.Choose(Mode::DownLoad, Type::Program, "file.bin");
         r.rx.Send({0x01}).Idle(2).Send({0x10}).Idle(2);
       }},
      {"download waiting for ready", [](Rig& r) { r.Choose(Mode::DownLoad, Type::Program, "file.bin"); }},
      {"upload in the header", [](Rig& r) {
         r.Choose(Mode::UpLoad, Type::Program, "up.bin");
         r.rx.Send({0x08, 0x00, 0x00}).AwaitRead();
       }},
      {"temu mid-request", [](Rig& r) {
         r.Choose(Mode::DownLoad, Type::Temu, "file.bin");
         r.rx.Send({0x02, 0x02}).AwaitRead();
       }},
  };
  for (const auto& [name, setUp] : cases) {
    SCOPED_TRACE(name);
    Rig r;
    r.WriteFile("file.bin", kImage);
    setUp(r);
    r.rx.Do([&] {
      r.serial.lost = true;
      r.serial.lastError = "COM1: device unplugged";
    });
    r.main.Start_Click();
    EXPECT_TRUE(r.rx.Finished());
    EXPECT_LT(r.view.pumps, 100) << "no endless loop on a dead line";
    ASSERT_FALSE(r.view.messages.empty());
    const auto& m = r.view.messages.back();
    EXPECT_EQ(m.text, "Serial Port is not available");
    EXPECT_EQ(m.title, "Error");
    EXPECT_EQ(m.icon, Icon::Critical);
    EXPECT_EQ(r.view.messages.size(), 1u) << "reported once";
    EXPECT_FALSE(r.serial.PortOpen());
    EXPECT_EQ(r.view.Caption(Control::portOpen), "Port Open");
    EXPECT_EQ(r.view.Caption(Control::Status), "Serial Port is not available");
    EXPECT_EQ(r.view.toolTip[Control::Status], "COM1: device unplugged");
    EXPECT_TRUE(r.view.Enabled(Control::ComPort1));
    EXPECT_FALSE(r.view.Enabled(Control::Start));
    EXPECT_FALSE(r.view.Enabled(Control::Browse));
    EXPECT_FALSE(r.view.Enabled(Control::ExitButton));
    EXPECT_TRUE(r.view.Enabled(Control::portOpen));
    EXPECT_TRUE(r.view.Enabled(Control::ModeFrame));
    EXPECT_EQ(r.main.FileNum, 0);
    EXPECT_FALSE(r.main.TransferRunning());
  }
}

TEST(Frame, CloseDuringATransferStopsItAndClosesAfterwards) {
  Rig r;
  r.WriteFile("file.bin", kImage);
  r.Choose(Mode::DownLoad, Type::Program, "file.bin");
  bool unlockedAtClose = false;
  r.view.onRequestClose = [&] {
    unlockedAtClose = !r.main.TransferRunning() && !r.view.Enabled(Control::ExitButton) && r.main.FileNum == 0;
  };
  bool cancelled = false;
  r.rx.Send({0x01}).Idle(2).Do([&] { r.main.Form_Unload(cancelled); });
  r.main.Start_Click();
  EXPECT_TRUE(cancelled) << "the close waits for the transfer";
  EXPECT_EQ(r.view.closeRequests, 1);
  EXPECT_TRUE(unlockedAtClose);
  EXPECT_FALSE(r.main.closePending_);
  EXPECT_TRUE(r.serial.PortOpen()) << "the port is closed by the close itself, not under the transfer";
  // Stopped like a Stop: the header went, then the end of data.
  ASSERT_FALSE(r.serial.writes.empty());
  EXPECT_EQ(Hex(r.serial.writes.back()), "03");
  EXPECT_TRUE(r.view.messages.empty());

  // The close then runs as usual.
  bool cancel = false;
  r.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(r.serial.PortOpen());
}

}  // namespace
}  // namespace kelvane::test
