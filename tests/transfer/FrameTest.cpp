#include "transfer/Frame.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

TEST(Frame, SizeTextAndProgressValue) {
  for (const auto& [done, total, text] : std::vector<std::tuple<std::int64_t, std::int64_t, const char*>>{
           {999, 1000, "0k/1K"}, {1024, 1999, "1k/1K"}, {5'000'000'000, 6'000'000'000, "5000000k/6000000K"}})
    EXPECT_EQ(SizeText(done, total), text);
  EXPECT_EQ(ProgressValue(100, 95), 95.0f);
  EXPECT_EQ(ProgressValue(0, 0), 95.0f);
  EXPECT_FLOAT_EQ(ProgressValue(3136, 2097152), 3136.0f * 95 / 2097152);
}

Bytes Image() {
  Bytes b = Pattern(100);
  b[0] = b[2] = 0x55, b[1] = b[3] = 0xAA;
  return b;
}

// Every way a transfer can end: the settings are written before the exchange, in order,
// only Stop is usable while it runs, and the window is unlocked afterwards.
TEST(Frame, EveryWayOutUnlocksTheWindow) {
  struct WayOut {
    const char* name;
    Control mode, type;
    std::function<void(Rig&)> script;
  };
  const WayOut ways[] = {
      {"download complete", Control::DownDot, Control::ProgramDot,
       [](Rig& r) { r.rx.Send({0x01}).Expect({0x08}).Idle(1).Send({0x10}).Idle(3).Send({0x10}).Idle(3).Send({0x17}); }},
      {"download refused", Control::DownDot, Control::ProgramDot, [](Rig& r) { r.rx.Send({0x01}).Idle(3).Send({0x12}); }},
      {"download stopped", Control::DownDot, Control::ProgramDot, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"download file missing", Control::DownDot, Control::ProgramDot, [](Rig& r) { r.main.XferPath = "none"; }},
      {"sdx stopped", Control::DownDot, Control::SDXDot, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"temu ended", Control::DownDot, Control::TemuDot, [](Rig& r) { r.rx.Send({0x02, 0x0A, 0x03}); }},
      {"temu stopped", Control::DownDot, Control::TemuDot, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"upload complete", Control::UpDot, Control::ProgramDot,
       [](Rig& r) { r.rx.Expect({0x01}).Send(Concat({B({0x08}), Bytes(64, 0)})).Expect({0x10}).Send({0x03}); }},
      {"upload stopped", Control::UpDot, Control::SDXDot, [](Rig& r) { r.rx.Idle(3).Stop(); }},
      {"upload cannot open", Control::UpDot, Control::ProgramDot, [](Rig& r) { r.main.XferPath = "none/up.bin"; }},
      {"upload with temu selected", Control::UpDot, Control::TemuDot, [](Rig&) {}},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    Rig r;
    WriteFile("file.bin", Image());
    r.Choose(way.mode, way.type, "file.bin");
    r.main.ChosenPath = "chosen.bin";
    bool locked = false;
    r.rx.Do([&] {
      const auto& v = r.view;
      locked = r.main.TransferRunning() && v.Enabled(Control::ExitButton) && r.settings.writes.size() == 3;
      for (Control c : {Control::ModeFrame, Control::TypeFrame, Control::Start, Control::Browse, Control::File,
                        Control::portOpen})
        locked = locked && !v.Enabled(c);
    });
    way.script(r);
    r.main.Start_Click();
    EXPECT_EQ(locked, r.view.pumps > 0);
    const char* type = way.type == Control::ProgramDot ? "1" : way.type == Control::SDXDot ? "2" : "3";
    EXPECT_EQ(r.settings.writes, (std::vector<std::string>{std::string("Startup/Mode=") + (way.mode == Control::DownDot ? "1" : "2"),
                                                          std::string("Startup/Type=") + type, "Startup/FileName=chosen.bin"}));
    r.ExpectUnlocked();
    EXPECT_FALSE(r.files.IsOpen(1));
    if (way.type == Control::TemuDot && way.mode == Control::UpDot) {
      EXPECT_TRUE(r.serial.written.empty() && r.view.messages.empty() && r.view.pumps == 0);
    }
  }
}

// The line fails under each exchange: the transfer ends, the port is shown closed, once.
TEST(Frame, LostLineEndsTheTransferAndClosesThePort) {
  const std::vector<std::pair<const char*, std::function<void(Rig&)>>> cases = {
      {"download waiting for ready", [](Rig& r) { r.Choose(Control::DownDot, Control::ProgramDot, "file.bin"); }},
      {"download in the block phase", [](Rig& r) {
         r.Choose(Control::DownDot, Control::ProgramDot, "file.bin");
         r.rx.Send({0x01}).Idle(2).Send({0x10}).Idle(2);
       }},
      {"upload in the header", [](Rig& r) {
         r.Choose(Control::UpDot, Control::ProgramDot, "up.bin");
         r.rx.Send({0x08, 0x00, 0x00}).AwaitRead();
       }},
      {"temu mid-request", [](Rig& r) {
         r.Choose(Control::DownDot, Control::TemuDot, "file.bin");
         r.rx.Send({0x02, 0x02}).AwaitRead();
       }},
  };
  for (const auto& [name, setUp] : cases) {
    SCOPED_TRACE(name);
    Rig r;
    WriteFile("file.bin", Image());
    setUp(r);
    r.rx.Do([&] { r.serial.lost = true, r.serial.lastError = "COM1: device unplugged"; });
    r.main.Start_Click();
    EXPECT_TRUE(r.rx.Finished());
    EXPECT_LT(r.view.pumps, 100) << "no endless loop on a dead line";
    r.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
    EXPECT_FALSE(r.serial.PortOpen());
    EXPECT_EQ(r.view.caption[Control::portOpen], "Port Open");
    EXPECT_EQ(r.view.toolTip[Control::Status], "COM1: device unplugged");
    for (Control c : {Control::ComPort1, Control::portOpen, Control::ModeFrame}) EXPECT_TRUE(r.view.Enabled(c));
    for (Control c : {Control::Start, Control::Browse, Control::ExitButton}) EXPECT_FALSE(r.view.Enabled(c));
    EXPECT_EQ(r.main.FileNum, 0);
    EXPECT_FALSE(r.main.TransferRunning());
  }
}

TEST(Frame, CloseDuringATransferStopsItAndClosesAfterwards) {
  Rig r;
  WriteFile("file.bin", Image());
  r.Choose(Control::DownDot, Control::ProgramDot, "file.bin");
  bool unlockedAtClose = false, cancelled = false;
  r.view.onRequestClose = [&] { unlockedAtClose = !r.main.TransferRunning() && r.main.FileNum == 0; };
  r.rx.Send({0x01}).Idle(2).Do([&] { r.main.Form_Unload(cancelled); });
  r.main.Start_Click();
  EXPECT_TRUE(cancelled) << "the close waits for the transfer";
  EXPECT_EQ(r.view.closeRequests, 1);
  EXPECT_TRUE(unlockedAtClose);
  EXPECT_TRUE(r.serial.PortOpen()) << "the port is closed by the close itself, not under the transfer";
  EXPECT_EQ(Hex(r.serial.writes.back()), "03") << "stopped like a Stop";
  EXPECT_TRUE(r.view.messages.empty());
  bool cancel = false;
  r.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(r.serial.PortOpen());
}

}  // namespace
}  // namespace kelvane::test
