#include "serial/posix/PosixSerialPort.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "serial/TracePort.h"
#include "support/FakeDevices.h"
#include "support/Fakes.h"
#include "support/Pty.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;

// Waits (at most `ms`) for the port's readiness handle to say bytes or a hang-up are there.
bool Ready(const SerialPort& s, int ms = 2000) {
  pollfd p{static_cast<int>(s.ReadinessHandle()), POLLIN, 0};
  return p.fd >= 0 && ::poll(&p, 1, ms) == 1;
}

// Reads until `count` bytes came, waiting on the readiness handle between reads.
Bytes Receive(SerialPort& s, std::size_t count) {
  Bytes got;
  for (Bytes b; got.size() < count && Ready(s) && !(b = s.Input()).empty();)
    got.insert(got.end(), b.begin(), b.end());
  return got;
}

// The serial object with Com 1 mapped to `device` (the pseudo-terminal when empty).
struct SerialOnPty : ::testing::Test {
  SerialOnPty() { fs::create_directories(dir); }
  ~SerialOnPty() override { fs::remove_all(dir); }
  PosixSerialPort& Serial(const std::string& device = "", const DeviceList* list = nullptr) {
    settings.values["Ports/COM1"] = device.empty() ? pty.slave : device;
    serial = list ? std::make_unique<PosixSerialPort>(settings, *list)
                  : std::make_unique<PosixSerialPort>(settings);
    serial->SetCommPort(1);
    serial->SetSettings(kLineSettings);
    return *serial;
  }
  const fs::path dir = fs::temp_directory_path() / ("kelvane-port-" + std::to_string(::getpid()));
  FakeSettings settings;
  Pty pty;
  std::unique_ptr<PosixSerialPort> serial;
};

// Listed as a USB adapter, the pseudo-terminal is asked for low latency, refuses quietly and
// works all the same.
TEST_F(SerialOnPty, EveryByteValuePassesUnchangedBothWays) {
  FakeDevices devices;
  devices.devices = {
      {.path = pty.slave, .vendorId = 0x0403, .productId = 0x6001, .accessible = true}};
  PosixSerialPort& s = Serial(pty.slave, &devices);
  pty.Write({0x01});  // a ready that came as the port opened: kept for the download
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  EXPECT_EQ(Receive(s, 1), Bytes{0x01});
  EXPECT_FALSE(s.LowLatencyActive());
  EXPECT_TRUE(s.LastError().empty()) << s.LastError();
  Bytes all, sent;
  for (int i = 0; i < 4 * 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  pty.Write(all);
  EXPECT_EQ(Receive(s, all.size()), all);
  s.Output(all);
  for (pollfd p{pty.master, POLLIN, 0}; sent.size() < all.size() && ::poll(&p, 1, 2000) == 1;) {
    const Bytes b = pty.ReadAvailable();
    sent.insert(sent.end(), b.begin(), b.end());
  }
  EXPECT_EQ(sent, all);
  EXPECT_EQ(s.OutBufferCount(), 0);
  pty.Write({0x01, 0x02, 0x03, 0x04});
  ASSERT_TRUE(Ready(s));
  EXPECT_EQ(s.InBufferCount(), 4);
  s.SetInputLen(1);
  EXPECT_EQ(s.InputByte(), 0x01);
  EXPECT_EQ(s.Input(), (Bytes{0x02}));
  s.SetInBufferCount(0);
  s.SetInputLen(0);
  EXPECT_TRUE(s.Input().empty());  // dropped, and a read never waits for more
  s.SetPortOpen(false);
  EXPECT_EQ(s.ReadinessHandle(), -1);
}

TEST_F(SerialOnPty, FailedOpensSayWhichDeviceAndWhy) {
  FakeDevices rootOnly;  // mode 0600, group root: no group to join
  rootOnly.devices = {{.path = "/dev/ttyUSB3", .accessible = false, .group = "root"}};
  struct Case {
    OpenCause cause;
    std::string device;
    int port;
    const char* settings;
    const DeviceList* list;
    std::string has;
  };
  using C = OpenCause;
  const std::string missing = (dir / "ttyUSB9").string();
  const Case cases[] = {
      {C::NoSuchDevice, missing, 1, kLineSettings, nullptr, "COM1 (" + missing},
      {C::NoDevice, "", 99, kLineSettings, nullptr, "\"Ports\""},
      {C::BadSettings, "", 1, "115200,x,8,1", nullptr, "\"115200,x,8,1\""},
      {C::BadSettings, "", 1, "12345,n,8,1", nullptr, "\"12345,n,8,1\""},  // no such speed
      {C::PermissionDenied, "/dev/ttyUSB3", 1, kLineSettings, &rootOnly, "MODE=\"0660\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.has);
    PosixSerialPort& s = Serial(c.device, c.list);
    s.SetCommPort(c.port);
    s.SetSettings(c.settings);
    EXPECT_FALSE(s.SetPortOpen(true));
    EXPECT_EQ(s.ReadinessHandle(), -1);
    EXPECT_EQ(s.reason(), c.cause);
    EXPECT_NE(s.LastError().find(c.has), std::string::npos) << s.LastError();
    EXPECT_EQ(s.LastError().find("usermod"), std::string::npos) << s.LastError();
  }

  // Held by another program (here: another object of this one), which is named.
  PosixSerialPort& second = Serial();
  PosixSerialPort first(settings);
  first.SetCommPort(1);
  ASSERT_TRUE(first.SetPortOpen(true)) << first.LastError();
  EXPECT_FALSE(second.SetPortOpen(true));
  EXPECT_EQ(second.reason(), OpenCause::Busy);
  const std::string& busy = second.LastError();
  EXPECT_NE(busy.find("busy, another program has it open: "), std::string::npos) << busy;
  EXPECT_NE(busy.find("(process " + std::to_string(::getpid()) + ")"), std::string::npos) << busy;
  EXPECT_EQ(busy.find("Permission"), std::string::npos) << busy;
  first.SetPortOpen(false);
  EXPECT_TRUE(second.SetPortOpen(true)) << second.LastError();
}

TEST_F(SerialOnPty, ADeviceThisUserMayNotOpenIsAPermissionFailure) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens a device whatever its mode";
  ASSERT_EQ(::chmod(pty.slave.c_str(), 0), 0);
  PosixSerialPort& s = Serial();
  EXPECT_FALSE(s.SetPortOpen(true));
  EXPECT_EQ(s.reason(), OpenCause::PermissionDenied);
  EXPECT_NE(s.LastError().find("permission denied"), std::string::npos) << s.LastError();
}

// The far end closes (an adapter pulled): the readiness handle wakes, the next read gives the
// bytes that came before and finds the line lost; the trace passes all of it on.
TEST_F(SerialOnPty, ClosedFarEndWakesTheWaitAndIsLostKeepingTheLastBytes) {
  PosixSerialPort& s = Serial();
  FakeClock clock;
  TracePort trace(s, nullptr, clock);
  ASSERT_TRUE(trace.SetPortOpen(true)) << s.LastError();
  EXPECT_EQ(trace.ReadinessHandle(), s.ReadinessHandle());
  pty.Write({0x17});
  ASSERT_TRUE(Ready(trace));
  EXPECT_EQ(trace.InBufferCount(), 1);
  pty.Close();
  ASSERT_TRUE(Ready(trace));
  EXPECT_EQ(trace.Input(), (Bytes{0x17}));
  EXPECT_TRUE(trace.Lost());
  EXPECT_EQ(trace.ReadinessHandle(), -1);  // nothing left to wait on
  trace.Output(Bytes{0x01});               // neither reported again nor failing otherwise
  EXPECT_TRUE(trace.PortOpen());           // open until closed
  EXPECT_NE(trace.LastError().find("COM1 (" + pty.slave + "): the line was lost"),
            std::string::npos)
      << trace.LastError();
  EXPECT_EQ(trace.OutBufferCount(), 0);  // nothing can drain any more: a close does not wait
  trace.SetPortOpen(false);
  EXPECT_TRUE(trace.ClosedLost());
  EXPECT_FALSE(trace.Lost());
}

// A write the device does not take loses the line: no waiting for answers to bytes never sent.
TEST_F(SerialOnPty, FailedWriteLosesTheLine) {
  PosixSerialPort& s = Serial();
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  ::close(static_cast<int>(s.ReadinessHandle()));  // the descriptor fails under the object
  s.Output(Bytes{0x01, 0x08});
  EXPECT_TRUE(s.Lost());
  EXPECT_NE(s.LastError().find("COM1 (" + pty.slave + "): the line was lost (writing failed"),
            std::string::npos)
      << s.LastError();
}

TEST(LineSettings, ParsesSpeedParityDataAndStopBits) {
  LineSettings s;
  ASSERT_TRUE(ParseLineSettings("9600,E,7,2", s));
  EXPECT_TRUE(s.baud == 9600 && s.parity == LineSettings::Parity::Even && s.dataBits == 7 &&
              s.stopBits == LineSettings::StopBits::Two);
  for (const char* bad : {"", "115200", "115200,n,8", "fast,n,8,1", "115200,q,8,1", "115200,n,9,1",
                          "115200,n,8,3", "0,n,8,1", "-9600,n,8,1"})
    EXPECT_FALSE(ParseLineSettings(bad, s)) << bad;
}

}  // namespace
}  // namespace kelvane::test
