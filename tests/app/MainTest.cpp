#include "app/Main.h"

#include <gtest/gtest.h>

#include "files/FileTable.h"
#include "support/Fakes.h"

namespace kelvane::test {
namespace {

struct Window {
  FakeView view;
  FakeSerial serial;
  FakeSettings settings;
  DiskFileTable files;
  FakeClock clock;
  Main main{view, serial, settings, files, clock};
};

TEST(StartUp, NothingStoredOpensPortOne) {
  Window w;
  w.main.Form_Load();
  EXPECT_TRUE(w.view.Value(Control::DownDot));
  EXPECT_TRUE(w.view.Value(Control::ProgramDot));
  EXPECT_EQ(w.serial.openAttempts, std::vector<int>{1});
  EXPECT_EQ(w.view.Caption(Control::Status), "COM1:115200,N,8,1");
  EXPECT_EQ(w.view.Caption(Control::portOpen), "Port Close");
  EXPECT_FALSE(w.view.Enabled(Control::ComPort1));
  EXPECT_TRUE(w.view.Enabled(Control::Browse));
  EXPECT_FALSE(w.view.Enabled(Control::Start));
  EXPECT_TRUE(w.settings.writes.empty());
}

}  // namespace
}  // namespace kelvane::test
