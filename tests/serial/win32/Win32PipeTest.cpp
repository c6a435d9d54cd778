// The Windows serial object on a named pipe, as the receiver emulator serves one: bytes both
// ways through the readiness event, and the server closing its end losing the line.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "serial/win32/Win32SerialPort.h"
#include "support/Fakes.h"

namespace kelvane::test {
namespace {

bool Ready(const SerialPort& s) {
  const auto h = s.ReadinessHandle();
  return h >= 0 && ::WaitForSingleObject(reinterpret_cast<HANDLE>(h), 5000) == WAIT_OBJECT_0;
}

TEST(Win32Pipe, CarriesBytesBothWaysAndLosesTheLineWhenTheServerCloses) {
  const std::string name = "\\\\.\\pipe\\kelvane-test-" + std::to_string(::GetCurrentProcessId());
  const std::wstring wide(name.begin(), name.end());
  HANDLE server = ::CreateNamedPipeW(wide.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                     4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  FakeSettings settings;
  settings.values["Ports/COM1"] = name;
  Win32SerialPort serial(settings);
  serial.SetCommPort(1);
  ASSERT_TRUE(serial.SetPortOpen(true)) << serial.LastError();
  ::ConnectNamedPipe(server, nullptr);  // the client is there already

  // A second program finds the pipe taken, as a port another program holds.
  Win32SerialPort second(settings);
  second.SetCommPort(1);
  EXPECT_FALSE(second.SetPortOpen(true));
  EXPECT_NE(second.LastError().find("busy"), std::string::npos) << second.LastError();

  DWORD n = 0;
  ASSERT_TRUE(::WriteFile(server, "\x01\x02\x03", 3, &n, nullptr));
  Bytes got;
  while (got.size() < 3 && Ready(serial)) {
    const Bytes b = serial.Input();
    got.insert(got.end(), b.begin(), b.end());
  }
  EXPECT_EQ(got, (Bytes{1, 2, 3}));

  serial.Output(Bytes{0x08, 0x10});
  std::uint8_t back[2] = {};
  ASSERT_TRUE(::ReadFile(server, back, 2, &n, nullptr));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(back[1], 0x10);

  ::CloseHandle(server);
  EXPECT_TRUE(Ready(serial));
  EXPECT_EQ(serial.InBufferCount(), 0);
  EXPECT_TRUE(serial.Lost());
  EXPECT_NE(serial.LastError().find("lost"), std::string::npos) << serial.LastError();
}

}  // namespace
}  // namespace kelvane::test

#endif
