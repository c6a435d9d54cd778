#include "serial/PortMap.h"

#include <gtest/gtest.h>

namespace kelvane::test {
namespace {

TEST(PortMap, AdaptersComeFirstAndNumbersCompareAsNumbers) {
  const std::vector<std::string> found = {"/dev/ttyS1",  "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2",
                                          "/dev/ttyACM0", "/dev/ttyS10",  "/dev/ttyS2", "/dev/ttyUSB2"};
  EXPECT_EQ(SortDevices(found),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyS1",
                                      "/dev/ttyS2", "/dev/ttyS10"}));
  // Leading zeros and names without a number keep a stable, sensible order.
  EXPECT_EQ(SortDevices({"/dev/ttyS02", "/dev/ttyS", "/dev/ttyS1"}),
            (std::vector<std::string>{"/dev/ttyS", "/dev/ttyS1", "/dev/ttyS02"}));
}

TEST(PortMap, ANamedDeviceWinsOtherwiseTheNthFound) {
  const std::vector<std::string> found = {"/dev/ttyS0", "/dev/ttyUSB0"};
  EXPECT_EQ(MapPort(1, "/dev/serial/by-id/usb-adapter-if00", found), "/dev/serial/by-id/usb-adapter-if00");
  EXPECT_EQ(MapPort(1, "", found), "/dev/ttyUSB0");
  EXPECT_EQ(MapPort(2, "", found), "/dev/ttyS0");
  EXPECT_EQ(MapPort(3, "", found), "");  // no device for that port
  EXPECT_EQ(MapPort(0, "", found), "");
  EXPECT_EQ(MapPort(1, "", {}), "");
}

}  // namespace
}  // namespace kelvane::test
