// kelvane-cli --port auto: with a silent line and the receiver emulator both mapped, the run
// finds the emulator, says so, and sends nothing to the silent line.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/Scratch.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class AutoPort : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(scratch_.root / "config/Kelvane");
    ASSERT_TRUE(scratch_.samplesMade);
  }
  // Com 1 and Com 2 stand for the given devices in the window's settings.
  void Map(const std::string& com1, const std::string& com2) {
    std::ofstream(scratch_.root / "config/Kelvane/Kelvane.ini")
        << "[Ports]\nCOM1=" << com1 << "\nCOM2=" << com2 << "\n";
  }
  std::string Sample(const char* name) const { return scratch_.Sample(name); }

  Scratch scratch_{"kelvane-cli-auto"};
};

TEST_F(AutoPort, FindsTheReceiverForEveryDownloadTypeAndLeavesTheSilentLineAlone) {
  struct Case {
    const char* name;
    std::vector<std::string> receiver;
    std::vector<std::string> cli;
    const char* out;
  };
  const Case cases[] = {
      {.name = "program image",
       .receiver = {"accept"},
       .cli = {"download", Sample("sample.bin")},
       .out = "Kelvane Complete\n"},
      {.name = "SDX list",
       .receiver = {"accept"},
       .cli = {"download", "--sdx", Sample("channels.sdx")},
       .out = "Kelvane Complete\n"},
      {.name = "Temu",
       .receiver = {"temu", Sample("card.sgn")},
       .cli = {"download", "--temu", Sample("card.sgn")},
       .out = ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pty silent;
    std::string emulator;
    const auto rx = StartReceiver(c.receiver, emulator);
    ASSERT_FALSE(emulator.empty());
    Map(silent.slave, emulator);  // the silent line comes first

    std::vector<std::string> args = {KELVANE_CLI, "--port", "auto"};
    args.insert(args.end(), c.cli.begin(), c.cli.end());
    const Result res = Child(args).Wait(seconds(30));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, c.out);
    EXPECT_NE(res.err.find("the receiver spoke on " + emulator), std::string::npos) << res.err;
    EXPECT_TRUE(silent.ReadAvailable().empty());
    EXPECT_EQ(rx->Wait(seconds(15)).status, 0);
  }
}

TEST_F(AutoPort, GivesUpAfterTheTimeoutWhenNoLineSpeaks) {
  Pty first, second;
  Map(first.slave, second.slave);
  const auto started = steady_clock::now();
  const Result res =
      Child({KELVANE_CLI, "--timeout", "1", "--port", "auto", "download", Sample("sample.bin")})
          .Wait();
  EXPECT_EQ(res.status, 7) << res.err;
  EXPECT_NE(res.err.find("no receiver spoke"), std::string::npos) << res.err;
  EXPECT_LT(steady_clock::now() - started, seconds(10));
  EXPECT_TRUE(first.ReadAvailable().empty());
  EXPECT_TRUE(second.ReadAvailable().empty());
}

}  // namespace
}  // namespace kelvane::test
