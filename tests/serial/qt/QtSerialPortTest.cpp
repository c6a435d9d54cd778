#include "serial/qt/QtSerialPort.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "app/MainView.h"
#include "app/Replug.h"
#include "app/qt/QtSettingsStore.h"
#include "app/qt/QtTestApp.h"
#include "serial/LowLatency.h"
#include "serial/SystemDevices.h"
#include "support/FakeDevices.h"
#include "support/Fakes.h"
#include "support/Pty.h"

namespace kelvane {
// The device behind the serial object, for the faults a test cannot cause from the far end.
struct QtSerialPortProbe {
  static QSerialPort& Device(QtSerialPort& s) { return s.serial_; }
};
}  // namespace kelvane

namespace kelvane::test {
namespace {

// Runs events until done() holds or the time is up; true when it held.
bool PumpUntil(const std::function<bool()>& done, int limitMs = 3000) {
  const QDeadlineTimer deadline(limitMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ::usleep(1000);
  }
  return true;
}

// The serial object with Com 1 mapped to `device` (the pseudo-terminal when empty).
struct SerialOnPty : ::testing::Test {
  QtSerialPort& Serial(const std::string& device = "") {
    store.Write(kAppName, kPortsSection, "COM1", device.empty() ? pty.slave : device);
    serial = std::make_unique<QtSerialPort>(store);
    serial->SetCommPort(1);
    serial->SetSettings(kLineSettings);
    return *serial;
  }
  QApplication& app = TestApp();
  QTemporaryDir dir;
  QtSettingsStore store{dir.filePath("kelvane.ini")};
  Pty pty;
  std::unique_ptr<QtSerialPort> serial;
};

TEST_F(SerialOnPty, EveryByteValuePassesUnchangedBothWaysThroughALinkToTheDevice) {
  const QString link = dir.filePath("receiver");  // as a stable by-id name is
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty.slave), link));
  QtSerialPort& s = Serial(link.toStdString());
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  EXPECT_NE(s.Describe(1).find(pty.slave), std::string::npos) << s.Describe(1);
  s.SetInputMode(1);
  s.SetInputLen(0);
  Bytes all;
  for (int i = 0; i < 4 * 256; ++i) all.push_back(static_cast<std::uint8_t>(i));

  pty.Write(all);
  Bytes received, sent;
  ASSERT_TRUE(PumpUntil([&] {
    const Bytes got = s.Input();
    return received.insert(received.end(), got.begin(), got.end()), received.size() >= all.size();
  }));
  EXPECT_EQ(received, all);
  s.Output(all);
  ASSERT_TRUE(PumpUntil([&] {
    const Bytes got = pty.ReadAvailable();
    return sent.insert(sent.end(), got.begin(), got.end()), sent.size() >= all.size();
  }));
  EXPECT_EQ(sent, all);
  EXPECT_TRUE(PumpUntil([&] { return s.OutBufferCount() == 0; }));

  pty.Write({0x01, 0x02, 0x03, 0x04});
  ASSERT_TRUE(PumpUntil([&] { return s.InBufferCount() == 4; }));
  s.SetInputLen(1);
  EXPECT_EQ(s.Input(), (Bytes{0x01}));
  EXPECT_EQ(s.InBufferCount(), 3);
  s.SetInBufferCount(0);
  s.SetInputLen(0);
  EXPECT_TRUE(s.Input().empty());  // dropped, and a read never waits for more
}

TEST_F(SerialOnPty, FailedOpensSayWhichDeviceAndWhy) {
  QtSerialPort& missing = Serial(dir.filePath("ttyUSB9").toStdString());
  EXPECT_FALSE(missing.SetPortOpen(true));
  EXPECT_FALSE(missing.PortOpen());
  EXPECT_EQ(missing.reason(), OpenCause::NoSuchDevice);
  for (const char* part : {"COM1", "ttyUSB9", "no such device"})
    EXPECT_NE(missing.LastError().find(part), std::string::npos) << missing.LastError();

  QtSerialPort& unmapped = Serial();  // no device named, more ports than the machine has
  unmapped.SetCommPort(99);
  EXPECT_FALSE(unmapped.SetPortOpen(true));
  EXPECT_EQ(unmapped.reason(), OpenCause::NoDevice);
  EXPECT_NE(unmapped.LastError().find("\"Ports\""), std::string::npos) << unmapped.LastError();

  QtSerialPort& badSettings = Serial();
  badSettings.SetSettings("115200,x,8,1");
  EXPECT_FALSE(badSettings.SetPortOpen(true));
  EXPECT_EQ(badSettings.reason(), OpenCause::BadSettings);

  QtSerialPort first(store);
  first.SetCommPort(1);
  first.SetSettings(kLineSettings);
  ASSERT_TRUE(first.SetPortOpen(true)) << first.LastError();
  QtSerialPort& second = Serial();
  EXPECT_FALSE(second.SetPortOpen(true));
  EXPECT_EQ(second.reason(), OpenCause::Busy);
  EXPECT_NE(second.LastError().find("busy"), std::string::npos) << second.LastError();
  first.SetPortOpen(false);
  EXPECT_TRUE(second.SetPortOpen(true)) << second.LastError();
}

TEST_F(SerialOnPty, ClosedFarEndIsLostWithoutSpinningAndKeepsTheLastBytes) {
  QtSerialPort& s = Serial();
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  pty.Write({0x17});
  ASSERT_TRUE(PumpUntil([&] { return s.InBufferCount() == 1; }));
  pty.Close();
  ASSERT_TRUE(PumpUntil([&] { return s.Lost(); }, 2000));
  s.Output(Bytes{0x01});      // writing to a lost line neither reports it again nor fails otherwise
  EXPECT_TRUE(s.PortOpen());  // open until closed
  EXPECT_NE(s.LastError().find("lost"), std::string::npos) << s.LastError();
  EXPECT_EQ(s.Input(), (Bytes{0x17}));
  EXPECT_EQ(s.OutBufferCount(), 0);  // nothing can drain any more: a close does not wait

  // Waiting for events must sleep now, not wake on the dead device again and again.
  const double before = CpuSeconds();
  QEventLoop loop;
  QTimer::singleShot(500, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_LT(CpuSeconds() - before, 0.1);
  s.SetPortOpen(false);
  EXPECT_FALSE(s.Lost());
  EXPECT_FALSE(s.PortOpen());
}

// A write the device does not take (here: the device closed under the object) loses the line
// as a failed read does: the exchange stops instead of waiting for answers to bytes never sent.
TEST_F(SerialOnPty, FailedWriteLosesTheLine) {
  QtSerialPort& s = Serial();
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  QtSerialPortProbe::Device(s).close();
  s.Output(Bytes{0x01, 0x08});
  EXPECT_TRUE(s.Lost());
  EXPECT_NE(s.LastError().find("COM1"), std::string::npos) << s.LastError();
  EXPECT_NE(s.LastError().find("writing failed"), std::string::npos) << s.LastError();
}

TEST_F(SerialOnPty, TheLowLatencyRequestIsRefusedQuietlyByAPseudoTerminal) {
  LowLatency direct;
  const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(direct.Request(fd));
  EXPECT_FALSE(direct.Active());
  direct.Restore();  // nothing taken, nothing given back
  ::close(fd);

  // Listed as a USB adapter, it is asked, refuses, and opens all the same.
  FakeDevices devices;
  devices.devices = {
      {.path = pty.slave, .vendorId = 0x0403, .productId = 0x6001, .accessible = true}};
  store.Write(kAppName, kPortsSection, "COM1", pty.slave);
  QtSerialPort s(store, devices);
  s.SetCommPort(1);
  ASSERT_TRUE(s.SetPortOpen(true)) << s.LastError();
  EXPECT_FALSE(s.LowLatencyActive());
  EXPECT_TRUE(s.LastError().empty()) << s.LastError();
  pty.Write({0x01});
  EXPECT_TRUE(PumpUntil([&] { return s.InBufferCount() == 1; }));
}

TEST_F(SerialOnPty, APortWhoseDeviceGoesAwayIsOpenedAgainWhenItReturnsUnderTheSamePath) {
  const std::string link =
      dir.filePath("by-id-receiver").toStdString();  // stands for the stable path
  ASSERT_EQ(::symlink(pty.slave.c_str(), link.c_str()), 0);
  FakeView view;
  FakeSettings settings;
  settings.values["Ports/COM1"] = link;
  settings.values["Startup/ComPort"] = "1";
  DiskFileTable files;
  FakeClock clock;
  SystemDevices devices;
  QtSerialPort s(settings, devices);
  Main main(view, s, settings, files, clock);
  Replug replug(main, view, s, settings, devices);
  main.Form_Load();
  ASSERT_TRUE(s.PortOpen()) << s.LastError();
  replug.Tick();

  pty.Close();  // the adapter is pulled: its node goes away
  ASSERT_EQ(::unlink(link.c_str()), 0);
  ASSERT_TRUE(PumpUntil([&] { return s.Lost(); }));
  replug.Tick();
  EXPECT_EQ(view.caption[Control::Status], "Port Closed");
  EXPECT_EQ(view.caption[Control::portOpen], "Port Open");
  replug.Tick();
  EXPECT_FALSE(s.PortOpen());

  Pty back;  // it comes back under another node, behind the same path
  ASSERT_EQ(::symlink(back.slave.c_str(), link.c_str()), 0);
  replug.Tick();
  ASSERT_TRUE(s.PortOpen()) << s.LastError();
  EXPECT_EQ(view.caption[Control::Status], "COM1:115200,N,8,1");
  EXPECT_EQ(view.caption[Control::portOpen], "Port Close");
  back.Write({0x17});
  EXPECT_TRUE(PumpUntil([&] { return s.InBufferCount() == 1; }));
}

TEST(LineSettings, ParsesSpeedParityDataAndStopBits) {
  LineSettings s;
  ASSERT_TRUE(ParseLineSettings("9600,E,7,2", s));
  EXPECT_EQ(s.baud, 9600);
  EXPECT_EQ(s.parity, QSerialPort::EvenParity);
  EXPECT_EQ(s.dataBits, QSerialPort::Data7);
  EXPECT_EQ(s.stopBits, QSerialPort::TwoStop);
  ASSERT_TRUE(ParseLineSettings(kLineSettings, s));
  EXPECT_EQ(s.parity, QSerialPort::NoParity);
  for (const char* bad : {"", "115200", "115200,n,8", "fast,n,8,1", "115200,q,8,1", "115200,n,9,1",
                          "115200,n,8,3", "0,n,8,1", "-9600,n,8,1"})
    EXPECT_FALSE(ParseLineSettings(bad, s)) << bad;
}

}  // namespace
}  // namespace kelvane::test
