#pragma once
// For the tests that run the command line and the receiver emulator as programs: a folder that
// holds the sample files and is the children's settings and temporary folder while it lives,
// and an emulator started on a pseudo-terminal of its own.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>

#include "support/Pty.h"

namespace kelvane::test {

class Scratch {
 public:
  explicit Scratch(const std::string& name) {
    for (const char* v : kVariables)
      if (const char* value = std::getenv(v)) saved_[v] = value;
    root = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
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
    for (const char* v : kVariables)
      saved_.count(v) ? ::setenv(v, saved_[v].c_str(), 1) : ::unsetenv(v);
  }
  std::string Sample(const std::string& name) const { return (root / "samples" / name).string(); }

  std::filesystem::path root;
  bool samplesMade = false;

 private:
  static constexpr const char* kVariables[] = {"XDG_CONFIG_HOME", "TMPDIR"};
  std::map<std::string, std::string> saved_;
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
