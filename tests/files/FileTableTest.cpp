#include "files/FileTable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstring>

#include "support/Rig.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace kelvane::test {
namespace {

// Whatever is not a regular file is refused at once, read or written, with its path and what
// it is; opening never waits (a named pipe without a writer or a reader would wait for ever).
TEST(FileTable, OnlyRegularFilesAreOpenedAndARefusalNamesThePathAndWhy) {
  KELVANE_SKIP_ON_WINDOWS("named pipes, symbolic links and /dev");
  TempDir dir;
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  fs::create_directory("folder");
  fs::create_symlink("loop", "loop");
  WriteFile("kept.bin", Bytes(10, 7));
  fs::create_symlink("kept.bin", "link.bin");
  struct Case {
    const char* path;
    OpenMode mode;
    const char* says;  // in the error text; nullptr: opened
  };
  const Case cases[] = {
      {"pipe", OpenMode::Read, "pipe: a named pipe, not a regular file"},
      {"pipe", OpenMode::WriteTruncate, "pipe: a named pipe, not a regular file"},
      {"folder", OpenMode::Read, "folder: a folder, not a regular file"},
      {"/dev/zero", OpenMode::Read, "/dev/zero: a device"},
      {"/dev/null", OpenMode::WriteTruncate, "/dev/null: a device"},
      {"loop", OpenMode::Read, std::strerror(ELOOP)},
      {"absent", OpenMode::Read, std::strerror(ENOENT)},
      {"link.bin", OpenMode::Read, nullptr},
      {"new.bin", OpenMode::WriteTruncate, nullptr},  // an absent file to write is created
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    DiskFileTable files;
    EXPECT_EQ(files.Open(1, c.path, c.mode), c.says == nullptr);
    EXPECT_EQ(files.IsOpen(1), c.says == nullptr);
    if (c.says) {
      EXPECT_NE(files.ErrorText().find(c.says), std::string::npos) << files.ErrorText();
      EXPECT_EQ(files.ErrorPath(), c.path);
    }
  }
  EXPECT_EQ(ReadFile("kept.bin"), Bytes(10, 7)) << "read through the link, unchanged";
  const fs::perms made = fs::status("new.bin").permissions();  // read and write, no execution
  EXPECT_EQ(made & (fs::perms::owner_all | fs::perms::others_exec),
            fs::perms::owner_read | fs::perms::owner_write);
  DiskFileTable files;  // numbers from 1 on, each for one file at a time
  EXPECT_FALSE(files.Open(0, "kept.bin", OpenMode::Read));
  EXPECT_TRUE(files.Open(1, "kept.bin", OpenMode::Read));
  EXPECT_FALSE(files.Open(1, "kept.bin", OpenMode::Read));
}

// A replacement is written under a private name in the target's folder and takes the
// target's place whole; the target is untouched until then, and keeps its permissions.
TEST(FileTable, ReplacementIsWrittenBesideTheTargetAndMovedIntoPlace) {
  KELVANE_SKIP_ON_WINDOWS("named pipes, symbolic links and /dev");
  TempDir dir;
  fs::create_directory("sub");
  WriteFile("sub/old.bin", Bytes(100, 1));
  fs::permissions("sub/old.bin",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("sub/old.bin", "link.bin");
  DiskFileTable files;
  const std::string part = files.OpenBeside(1, "link.bin");
  ASSERT_FALSE(part.empty()) << files.ErrorText();
  const std::string name = fs::path(part).filename().string();  // hidden, six random characters
  EXPECT_TRUE(name.starts_with(".old.bin.") && name.ends_with(".part") && name.size() == 20)
      << name;
  EXPECT_EQ(fs::path(part).parent_path(), fs::canonical("sub")) << "beside the file the link names";
  ASSERT_TRUE(files.Write(1, Bytes(3, 9)));
  EXPECT_EQ(ReadFile("sub/old.bin"), Bytes(100, 1));
  ASSERT_TRUE(files.MoveIntoPlace({{part, "link.bin"}}));
  ASSERT_TRUE(files.Write(1, Bytes(2, 8))) << "still open, now under the target's name";
  EXPECT_FALSE(files.Seek(1, -1));
  EXPECT_FALSE(files.Seek(2, 0)) << "not open";
  ASSERT_TRUE(files.Close(1));
  EXPECT_TRUE(fs::is_symlink("link.bin")) << "the link stays a link";
  EXPECT_EQ(ReadFile("sub/old.bin"), Concat({Bytes(3, 9), Bytes(2, 8)}));
  EXPECT_EQ(fs::status("sub/old.bin").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator("sub"), {}), 1) << "no private file left";
  // A flush the system refuses is a failure, with its reason.
  struct Flushing : DiskFileTable {
    using DiskFileTable::SyncFile, DiskFileTable::SyncFolder;
  } flushing;
  EXPECT_FALSE(flushing.SyncFile(-1, "x") || flushing.SyncFolder("no/such/dir"));
  EXPECT_EQ(flushing.ErrorText(), std::strerror(EBADF));
#ifndef _WIN32
  // So is a write the system refuses part way (here: past the file size limit); what fitted stays.
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit was{};
  ::getrlimit(RLIMIT_FSIZE, &was);
  rlimit small = was;
  small.rlim_cur = 10;
  ::setrlimit(RLIMIT_FSIZE, &small);
  DiskFileTable limited;
  const bool wrote =
      limited.Open(1, "big.bin", OpenMode::WriteTruncate) && limited.Write(1, Bytes(20, 1));
  ::setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, handler);
  EXPECT_FALSE(wrote);
  EXPECT_EQ(limited.ErrorText(), std::strerror(EFBIG));
  EXPECT_EQ(ReadFile("big.bin").size(), 10u);
#endif

  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  fs::create_symlink("loop", "loop");
  for (const auto& [target, says] : {std::pair{"pipe", "pipe: a named pipe"},
                                     {"loop", std::strerror(ELOOP)},
                                     {"no/such/dir/x.bin", std::strerror(ENOENT)}}) {
    SCOPED_TRACE(target);
    DiskFileTable refused;
    EXPECT_EQ(refused.OpenBeside(1, target), "");
    EXPECT_NE(refused.ErrorText().find(says), std::string::npos) << refused.ErrorText();
    EXPECT_EQ(refused.ErrorPath(), target);
  }
}

}  // namespace
}  // namespace kelvane::test
