// kelvane-cli: the window's transfers from the command line.

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
// clang-format off
#include "files/Wide.h"
#include <shellapi.h>
// clang-format on
#endif
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

// The arguments as UTF-8. Windows hands a program's main its arguments in the ANSI code
// page, which cannot hold every file name: they are taken from the wide command line there,
// and the console is told to show UTF-8 and to take escape sequences.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc, (void)argv;
  ::SetConsoleOutputCP(CP_UTF8);
  // The progress is redrawn in place with the terminal's escape sequences.
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (DWORD mode = 0; ::GetConsoleMode(err, &mode))
    ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  std::vector<std::string> out;
  for (int i = 1; wide && i < n; ++i) out.push_back(kelvane::Narrow(wide[i]));
  if (wide) ::LocalFree(wide);
  return out;
#else
  return {argv + 1, argv + argc};
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelvane::cli;
  const std::vector<std::string> args = Arguments(argc, argv);
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
