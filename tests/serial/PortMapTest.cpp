#include "serial/PortMap.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(PortMap, AdaptersFirstNumbersAsNumbersAndANamedDeviceWins) {
  EXPECT_EQ(SortDevices({"/dev/ttyS1", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyS10",
                         "/dev/ttyS2", "/dev/ttyUSB2", "/dev/ttyS02", "/dev/ttyS"}),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyS", "/dev/ttyS0",
                                      "/dev/ttyS1", "/dev/ttyS02", "/dev/ttyS2", "/dev/ttyS10"}));
  const std::vector<std::string> found = {"/dev/ttyS0", "/dev/ttyUSB0"};
  EXPECT_EQ(MapPort(1, "/dev/serial/by-id/usb-adapter-if00", found), "/dev/serial/by-id/usb-adapter-if00");
  EXPECT_EQ(MapPort(1, "", found), "/dev/ttyUSB0");
  EXPECT_EQ(MapPort(2, "", found), "/dev/ttyS0");
  for (int port : {0, 3}) EXPECT_EQ(MapPort(port, "", found), "") << port;
}

}  // namespace
}  // namespace kelvane
