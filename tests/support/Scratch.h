#pragma once
// For the tests that run the command line and the receiver emulator as programs: a folder that
// holds the sample files and is the children's settings and temporary folder from then on,
// and an emulator started on a pseudo-terminal of its own.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "support/Pty.h"

namespace kelvane::test {

class Scratch {
 public:
  explicit Scratch(const std::string& name)
      : root(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(root);
    for (const char* d : {"config", "tmp", "samples"})
      std::filesystem::create_directories(root / d);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    samplesMade = Child({KELVANE_SAMPLES, (root / "samples").string()}).Wait().status == 0;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string Sample(const std::string& name) const { return (root / "samples" / name).string(); }

  const std::filesystem::path root;
  bool samplesMade = false;
};

// The emulator with these arguments, given up after ten silent seconds; its device in `pty`.
inline std::unique_ptr<Child> StartReceiver(std::vector<std::string> args, std::string& pty) {
  args.insert(args.begin(), {KELVANE_RECEIVER, "--timeout", "10"});
  auto rx = std::make_unique<Child>(args);
  pty = rx->FirstLine();
  EXPECT_FALSE(pty.empty()) << "the emulator did not start";
  return rx;
}

}  // namespace kelvane::test
