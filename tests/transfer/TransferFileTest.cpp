// The transfer file of every exchange: only a regular file is opened, read or written; a
// named pipe, a device (the serial line itself, say) or a folder is refused at once, before a
// byte goes to the receiver, with its path and what it is.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

TEST(TransferFile, PipeDeviceOrFolderIsRefusedBeforeAnythingIsSent) {
  KELVANE_SKIP_ON_WINDOWS("named pipes and /dev");
  const std::pair<Control, Control> ways[] = {{Control::DownDot, Control::ProgramDot},
                                              {Control::DownDot, Control::TemuDot},
                                              {Control::UpDot, Control::ProgramDot}};
  for (const auto& [mode, type] : ways) {
    for (const char* path : {"pipe", "/dev/null", "folder"}) {
      SCOPED_TRACE(std::string(path) + (mode == Control::UpDot ? " upload" : " download"));
      Rig r;
      ASSERT_EQ(::mkfifo("pipe", 0600), 0);
      fs::create_directory("folder");
      r.Choose(mode, type, path);
      r.main.Start_Click();
      EXPECT_TRUE(r.serial.written.empty()) << "not one byte may go out";
      ASSERT_EQ(r.view.messages.size(), 1u);
      EXPECT_NE(r.view.messages[0].text.find(std::string(path) + ": a"), std::string::npos);
      EXPECT_TRUE(fs::exists(path)) << "left as it was";
      r.ExpectUnlocked();
    }
  }
}

// Chosen in the window, an image that is a pipe or a device is refused by the check that
// follows the choice, without waiting for a writer or reading for ever.
TEST(TransferFile, PipeOrDeviceChosenAsImageIsRefusedAtOnce) {
  KELVANE_SKIP_ON_WINDOWS("named pipes and /dev");
  for (const char* path : {"pipe", "/dev/zero"}) {
    SCOPED_TRACE(path);
    Window w;
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    w.Choose(path);
    w.main.Browse_Click();
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_NE(w.view.messages[0].text.find(std::string(path) + ": a"), std::string::npos);
    EXPECT_FALSE(w.StartEnabled());
  }
}

}  // namespace
}  // namespace kelvane::test
