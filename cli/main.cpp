// kelvane-cli: the window's transfers from the command line.

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KelvaneLicence.h"
#include "cli/CliOptions.h"
#include "cli/ExitStatus.h"
#include "cli/Session.h"
#include "cli/StopSignals.h"

namespace {

// What was printed must have reached standard output (a full disk, a closed pipe): a run
// whose output was lost has not succeeded.
int CheckedOutput(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  std::fprintf(stderr, "kelvane-cli: standard output: %s\n", std::strerror(errno));
  return status == kelvane::cli::kDone ? kelvane::cli::kFileError : status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelvane::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseArguments(args);
  if (parsed.options.help) {
    std::fputs(UsageText(), stdout);
    return CheckedOutput(kDone);
  }
  if (parsed.options.version) {
    std::printf("kelvane-cli %s\n%s", KELVANE_VERSION, kLicenceNotice);
    return CheckedOutput(kDone);
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "kelvane-cli: %s\nTry 'kelvane-cli --help' for more information.\n",
                 parsed.error.c_str());
    return kUsage;
  }
  InstallStopSignals();
  QCoreApplication app(argc, argv);
  return CheckedOutput(RunCommand(parsed.options));
}
