// The programs' command lines, run with no display at all: every program answers --help and
// --version (the window before anything of it is created), and refuses what it does not know.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include "support/Pty.h"

namespace kelvane::test {
namespace {

constexpr const char* kLicence = "GNU GPL version 3 or later";
constexpr const char* kWin = KELVANE_WINDOW;
constexpr const char* kRx = KELVANE_RECEIVER;
constexpr const char* kSamples = KELVANE_SAMPLES;

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;  // the program, then its arguments
  int status;
  const char* outHas;  // in standard output; nullptr: standard output stays empty
  const char* errHas;  // in standard error; nullptr: standard error stays empty
};

void PrintTo(const ArgsCase& c, std::ostream* os) { *os << c.name; }

class WindowArguments : public testing::TestWithParam<ArgsCase> {
 protected:
  static void SetUpTestSuite() {
    // Without these a window would fail to open; nothing here may need one.
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(v);
  }
};

TEST_P(WindowArguments, AnswersWithoutADisplayOrRefuses) {
  const ArgsCase& c = GetParam();
  const Result r = Child(c.args).Wait(std::chrono::milliseconds(20000));
  EXPECT_EQ(r.status, c.status) << r.err;
  if (c.outHas)
    EXPECT_NE(r.out.find(c.outHas), std::string::npos) << r.out;
  else
    EXPECT_EQ(r.out, "");
  if (c.errHas)
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  else
    EXPECT_EQ(r.err, "");
}

const ArgsCase kArgs[] = {
    {"Help", {kWin, "--help"}, 0, "Usage: kelvane [--demo]", nullptr},
    {"Version", {kWin, "--version"}, 0, "kelvane " KELVANE_VERSION "\nCopyright", nullptr},
    {"HelpWinsOverAWrongArgument", {kWin, "--port", "--help"}, 0, "Usage:", nullptr},
    {"UsageOnError", {kWin, "--port"}, 2, nullptr, "unknown argument '--port'"},
    {"ToolkitOptionsAreRefusedToo", {kWin, "-platform", "offscreen"}, 2, nullptr, "'-platform'"},
    {"TheDemoTakesNoValue", {kWin, "--demo", "yes"}, 2, nullptr, "'yes'"},
    {"ReceiverVersion", {kRx, "--version"}, 0, kLicence, nullptr},
    {"SamplesUnknownOption", {kSamples, "--verbose"}, 2, nullptr, "unknown option --verbose"},
};

INSTANTIATE_TEST_SUITE_P(Window, WindowArguments, testing::ValuesIn(kArgs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::test
