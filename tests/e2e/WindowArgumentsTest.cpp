// The window program's command line, run with no display at all: --help and --version must
// answer before anything of the window is created, and every other argument is refused.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include "support/Pty.h"

namespace kelvane::test {
namespace {

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;
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
  std::vector<std::string> argv = {KELVANE_WINDOW};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const Result r = Child(argv).Wait(std::chrono::milliseconds(20000));
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
    {"Help", {"--help"}, 0, "Usage: kelvane [--demo]", nullptr},
    {"ShortHelp", {"-h"}, 0, "--version", nullptr},
    {"Version", {"--version"}, 0, "kelvane " KELVANE_VERSION "\n", nullptr},
    {"HelpWinsOverTheDemo", {"--demo", "--help"}, 0, "Usage:", nullptr},
    {"HelpWinsOverAWrongArgument", {"--port", "--help"}, 0, "Usage:", nullptr},
    {"UnknownOption", {"--port"}, 2, nullptr, "unknown argument '--port'"},
    {"UsageOnError", {"--verbose"}, 2, nullptr, "Usage: kelvane [--demo]"},
    {"AFileIsNoArgument", {"image.bin"}, 2, nullptr, "'image.bin'"},
    {"ToolkitOptionsAreRefusedToo", {"-platform", "offscreen"}, 2, nullptr, "'-platform'"},
    {"TheDemoTakesNoValue", {"--demo", "yes"}, 2, nullptr, "'yes'"},
};

INSTANTIATE_TEST_SUITE_P(Window, WindowArguments, testing::ValuesIn(kArgs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::test
