#include "app/Replug.h"

#include <gtest/gtest.h>

#include "support/FakeDevices.h"
#include "support/Rig.h"

namespace kelvane::test {
namespace {

// Com 1 assigned to an adapter's by-id path and open; the adapter can be pulled and put back.
struct Plugged : Window {
  Plugged() {
    view.enabled[Control::ComPort1] = true;  // closed until Form_Load opens it
    settings.values["Ports/COM1"] = adapter.byId;
    devices.devices = {adapter};
    main.Form_Load();
    replug.Tick();
  }
  void Unplug() {
    devices.devices.clear();
    serial.lost = true;
    serial.lastError = "COM1: the line was lost";
  }
  void PlugBack(bool accessible = true) {
    adapter.accessible = accessible;
    devices.devices = {adapter};
  }
  bool ShownOpen() const { return !view.enabled.at(Control::ComPort1); }

  SerialDevice adapter = Ftdi(0, "A50285BI");
  FakeDevices devices;
  Replug replug{main, view, serial, settings, devices};
};

TEST(Replug, AnUnpluggedPortIsShownClosedAtOnceAndOpenedAgainWhenItComesBack) {
  Plugged p;
  ASSERT_TRUE(p.ShownOpen());
  p.Unplug();
  p.replug.Tick();
  EXPECT_FALSE(p.ShownOpen());
  EXPECT_FALSE(p.serial.PortOpen());
  EXPECT_EQ(p.view.caption[Control::Status],
            "Serial Port is not available \u2014 COM1: the line was lost");
  EXPECT_NE(p.view.toolTip[Control::Status].find("the line was lost"), std::string::npos);
  EXPECT_NE(p.view.toolTip[Control::Status].find(p.adapter.byId + " comes back"),
            std::string::npos);
  EXPECT_EQ(p.replug.Waiting(), 1);

  const auto attempts = p.serial.openAttempts.size();
  p.replug.Tick();  // still away: nothing is tried
  EXPECT_EQ(p.serial.openAttempts.size(), attempts);
  p.PlugBack(false);  // the node is there, its permissions not yet
  p.replug.Tick();
  EXPECT_EQ(p.serial.openAttempts.size(), attempts);

  p.PlugBack();
  p.replug.Tick();
  EXPECT_TRUE(p.ShownOpen());
  EXPECT_EQ(p.view.caption[Control::Status], "COM1:115200,N,8,1");
  EXPECT_NE(p.view.toolTip[Control::Status].find("opened again"), std::string::npos);
  EXPECT_EQ(p.replug.Waiting(), 0);
}

TEST(Replug, LeavesALostLineToARunningTransferAndWaitsForTheDeviceAfterIt) {
  Plugged p;
  WriteFile("image.bin", Concat({ImageHeaderBytes(), Pattern(2048)}));
  p.main.XferPath = p.main.ChosenPath = "image.bin";
  p.main.FileNum = static_cast<std::int16_t>(p.files.FreeFile());
  p.main.SetFileReady(true);
  p.main.Start_Click();
  p.Unplug();  // pulled while the download waits for the receiver
  p.replug.Tick();
  EXPECT_TRUE(p.ShownOpen());  // the transfer ends it by its own rules
  p.main.Timer1_Timer();
  EXPECT_TRUE(p.main.LastTransfer().lineLost);
  EXPECT_FALSE(p.ShownOpen());
  p.replug.Tick();
  EXPECT_EQ(p.replug.Waiting(), 1);
  p.PlugBack();
  p.replug.Tick();
  EXPECT_TRUE(p.ShownOpen());
  EXPECT_EQ(p.view.caption[Control::Status], "COM1:115200,N,8,1");
}

TEST(Replug, LeavesAPortChosenMeanwhileOrClosedByHandToTheUser) {
  Plugged other;
  other.Unplug();
  other.replug.Tick();
  other.main.SelectOption(Control::ComPort3, true);
  other.PlugBack();
  const auto attempts = other.serial.openAttempts.size();
  other.replug.Tick();
  EXPECT_EQ(other.serial.openAttempts.size(), attempts);
  EXPECT_EQ(other.replug.Waiting(), 0);

  Plugged closedByHand;
  closedByHand.main.portOpen_Click();
  closedByHand.replug.Tick();
  EXPECT_EQ(closedByHand.replug.Waiting(), 0);
}

}  // namespace
}  // namespace kelvane::test
