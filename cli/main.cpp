// kelvane-cli: the window's transfers from the command line.

#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/ExitStatus.h"
#include "cli/Session.h"
#include "cli/StopSignals.h"

int main(int argc, char** argv) {
  using namespace kelvane::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseArguments(args);
  if (parsed.options.help) {
    std::fputs(UsageText(), stdout);
    return kDone;
  }
  if (parsed.options.version) {
    std::printf("kelvane-cli %s\n", KELVANE_VERSION);
    return kDone;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "kelvane-cli: %s\nTry 'kelvane-cli --help' for more information.\n",
                 parsed.error.c_str());
    return kUsage;
  }
  InstallStopSignals();
  QCoreApplication app(argc, argv);
  return RunCommand(parsed.options);
}
