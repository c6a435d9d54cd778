// kelvane: the service tool's window. The window takes no settings from the command line;
// --demo (for trying it without a receiver) starts the receiver emulator on a pseudo-terminal
// (a named pipe on Windows) and uses a throwaway settings file whose port 1 is that line.
// --help and --version answer without a display.
//
// For the benchmarks only, KELVANE_BENCH_START="download PATH" or "upload PATH" chooses PATH
// for that mode (a program image for a download) and starts the transfer with the port the
// settings open at start-up, as a user's clicks would: the choice once the window is up,
// and Start a moment later, so that the transfer's figures hold neither the window's first
// painting nor the choice's. The boxes are answered OK (their texts go to standard error),
// and "bench: started" and "bench: ended" on standard error mark the transfer. Without it
// nothing of this runs.

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "KelvaneLicence.h"
#include "app/Main.h"
#include "app/Replug.h"
#include "app/qt/CloseOnSignal.h"
#include "app/qt/Demo.h"
#include "app/qt/PortsDialog.h"
#include "app/qt/QtMainWindow.h"
#include "app/qt/QtSettingsStore.h"
#include "files/FileTable.h"
#include "kelvane-help.h"
#include "serial/NativeSerialPort.h"
#include "timecode/Clock.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// A Windows window program has no console: its answers to --help, --version and a wrong
// argument go to the console of the command that started it, unless its output was given
// somewhere (redirected, or a pipe as under a test).
void OutputToStartingConsole() {
#ifdef _WIN32
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::freopen("CONOUT$", "w", stdout);
  std::freopen("CONOUT$", "w", stderr);
#endif
}

enum class Action { kRun, kDemo, kHelp, kVersion, kHelpTextError };

// Before the application object: --help and --version must work without a display.
Action ParseArguments(int argc, char** argv, std::string_view& wrong) {
  bool demo = false, help = false, version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h")
      help = true;
    else if (a == "--version")
      version = true;
    else if (a == "--demo")
      demo = true;
    else if (wrong.empty())
      wrong = a;
  }
  if (help) return Action::kHelp;
  if (version) return Action::kVersion;
  if (!wrong.empty()) return Action::kHelpTextError;
  return demo ? Action::kDemo : Action::kRun;
}

// The scripted start of KELVANE_BENCH_START (see above); false when it is not set or not
// understood.
bool StartForBench(kelvane::Main& main, kelvane::QtMainWindow& window) {
  using namespace kelvane;
  const char* value = std::getenv("KELVANE_BENCH_START");
  if (!value) return false;
  const std::string start = value;
  const auto space = start.find(' ');
  const std::string mode = start.substr(0, space);
  if (space == std::string::npos || (mode != "download" && mode != "upload")) {
    std::fprintf(stderr, "kelvane: KELVANE_BENCH_START is \"download PATH\" or \"upload PATH\"\n");
    return false;
  }
  const std::string path = start.substr(space + 1);
  window.SetChooser([path](const ChooserRequest&) {
    ChooserResult r;
    r.outcome = ChooserResult::Outcome::Chosen;
    r.path = path;
    return r;
  });
  window.SetAnswerer([](const std::string& text, const std::string&, Buttons, Icon) {
    std::fprintf(stderr, "bench: box: %s\nbench: ended\n", text.c_str());
    return Answer::OK;
  });
  using namespace std::chrono_literals;
  QTimer::singleShot(500ms, &window, [&main, mode] {
    main.SelectOption(mode == "download" ? Control::DownDot : Control::UpDot, true);
    if (mode == "download") main.SelectOption(Control::ProgramDot, true);
    main.Browse_Click();
  });
  QTimer::singleShot(1000ms, &window, [&main] {
    std::fprintf(stderr, "bench: started\n");
    main.Start_Click();
  });
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelvane;
  std::string_view wrong;
  const Action action = ParseArguments(argc, argv, wrong);
  if (action != Action::kRun && action != Action::kDemo) OutputToStartingConsole();
  switch (action) {
    case Action::kHelp: std::fputs(kHelpText, stdout); return 0;
    case Action::kVersion: std::printf("kelvane %s\n%s", KELVANE_VERSION, kLicenceNotice); return 0;
    case Action::kHelpTextError:
      std::fprintf(stderr, "kelvane: unknown argument '%.*s'\n%s", static_cast<int>(wrong.size()),
                   wrong.data(), kHelpText);
      return 2;
    case Action::kRun:
    case Action::kDemo: break;
  }

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(kAppName);
  QCoreApplication::setApplicationName(kAppName);
  QCoreApplication::setApplicationVersion(KELVANE_VERSION);
  // Task bars and docks match the window to its desktop entry by this name, and show the
  // entry's icon; the window icon is for those that look at the window itself.
  QGuiApplication::setDesktopFileName(KELVANE_APP_ID);
  QApplication::setWindowIcon(QIcon::fromTheme(KELVANE_APP_ID, QIcon(":/icons/kelvane.png")));

  std::unique_ptr<Demo> demo;
  if (action == Action::kDemo) {
    demo = std::make_unique<Demo>();
    if (!demo->Start(QCoreApplication::applicationDirPath())) demo.reset();
  }
  auto settings = demo ? std::make_unique<QtSettingsStore>(demo->SettingsFile())
                       : std::make_unique<QtSettingsStore>();
  if (demo) settings->Write(kAppName, kPortsSection, "COM1", demo->LinkPath().toStdString());

  DiskFileTable files;
  SystemClock clock;
  SystemDevices devices;
  NativeSerialPort serial(*settings, devices);
  QtMainWindow window;
  Main main(window, serial, *settings, files, clock);
  window.Attach(main);
  main.SetDevices(&devices);
  window.SetPortDescriber([&serial](int n) { return serial.Describe(n); });
  window.SetSettings(settings.get());
  window.SetClock(clock);
  std::vector<QWidget*> portButtons;
  for (int n = 1; n <= 8; ++n) portButtons.push_back(window.Widget(ComPort(n)));
  InstallPortsMenu(window.Widget(Control::PortFrame), portButtons, *settings, devices,
                   [&serial](int n) { return serial.StateOf(n); });

  // Hot-plug: looked at twice a second, never inside a box or a dialog the window shows.
  Replug replug(main, window, serial, *settings, devices);
  QTimer plugWatch;
  QObject::connect(&plugWatch, &QTimer::timeout, [&replug] {
    if (!QApplication::activeModalWidget() && !QApplication::activePopupWidget()) replug.Tick();
  });
  plugWatch.start(std::chrono::milliseconds(500));

  // Shown first, so that a box of the start-up (no port) stands over the window it speaks of.
  window.show();
  main.Form_Load();
  if (demo) main.XferPath = demo->SampleImage().toStdString();
  StartForBench(main, window);
  // Nobody is there to answer the window's question: a signal stops a transfer and closes.
  CloseOnSignals(window, [&window] { window.CloseUnasked(); });
  const int rc = app.exec();
  main.Form_Terminate();
  return rc;
}
