#include "cli/PortList.h"

#include <gtest/gtest.h>

#include "support/FakeDevices.h"
#include "support/Fakes.h"

#include "support/Platform.h"

namespace kelvane::test {
namespace {

struct Listing : ::testing::Test {
  Listing() {
    devices.devices = {Ftdi(0, "A50285BI"), Ftdi(1, "B7", false, 1), BuiltIn(0)};
    settings.values["Ports/COM2"] = devices.devices[0].byId;
    settings.values["Ports/COM4"] = "/dev/serial/by-id/usb-away";
  }
  FakeDevices devices;
  FakeSettings settings;
};

TEST_F(Listing, TextShowsEachPortAndEachDeviceWithItsFacts) {
  KELVANE_SKIP_ON_WINDOWS("unassigned, Com n is COMn there, not the n-th device");
  const std::string text = cli::PortsText(settings, devices, 2);
  for (const char* part :
       {"COM1: /dev/ttyUSB0",
        "COM2: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> ttyUSB0",
        "[last opened by the window]", "COM4: /dev/serial/by-id/usb-away; not present",
        "COM8: no serial device", "/dev/ttyUSB0  FT232R USB UART, FTDI, 0403:6001, serial A50285BI",
        "latency timer: 16 ms", "access: no; sudo usermod -aG dialout $USER", "udev rule"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  const auto com2 = text.find("COM2: ");
  EXPECT_EQ(text.find("[last opened by the window]\n"), text.find('\n', com2) - 27) << text;
}

TEST_F(Listing, JsonHoldsTheSameFactsAsFieldsAndNullWhereNothingIsKnown) {
  KELVANE_SKIP_ON_WINDOWS("unassigned, Com n is COMn there, not the n-th device");
  const std::string json = cli::PortsJson(settings, devices, 0);
  for (
      const char* part :
      {R"({"port":"COM2","device":"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0","assigned":true,)"
       R"("present":true,"node":"/dev/ttyUSB0","lastOpened":false})",
       R"({"port":"COM4","device":"/dev/serial/by-id/usb-away","assigned":true,"present":false,"node":null,)",
       R"({"port":"COM8","device":null,"assigned":false,"present":false,"node":null,"lastOpened":false})",
       R"({"path":"/dev/ttyUSB1","name":"ttyUSB1","description":"FT232R USB UART","manufacturer":"FTDI",)"
       R"("vendorId":"0403","productId":"6001","serialNumber":"B7",)",
       R"("accessible":false,"group":"dialout","latencyTimerMs":1})",
       R"({"path":"/dev/ttyS0","name":"ttyS0","description":null,"manufacturer":null,"vendorId":null,)"})
    EXPECT_NE(json.find(part), std::string::npos) << part << " in\n" << json;
  EXPECT_EQ(json.back(), '\n');
}

}  // namespace
}  // namespace kelvane::test
