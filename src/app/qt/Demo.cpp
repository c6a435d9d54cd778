#include "app/qt/Demo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QThread>
#include <chrono>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <signal.h>
#include <sys/prctl.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "app/MainView.h"
#ifdef Q_OS_WIN
#include "serial/SystemDevices.h"
#endif

namespace kelvane {

namespace {

// The window has no console on Windows; the programs it starts would each open one.
void NoConsoleWindow(QProcess& p) {
#ifdef Q_OS_WIN
  p.setCreateProcessArgumentsModifier(
      [](QProcess::CreateProcessArguments* a) { a->flags |= CREATE_NO_WINDOW; });
#else
  (void)p;
#endif
}

constexpr std::chrono::milliseconds kLinkWait{5000};
constexpr std::chrono::milliseconds kSamplesWait{10000};
constexpr std::chrono::milliseconds kLinkPoll{20};

// Said on standard error and in a box: started from a desktop menu, there is no terminal.
void Say(const QString& text) {
  std::fprintf(stderr, "kelvane --demo: %s\n", qPrintable(text));
  QMessageBox::warning(nullptr, kAppName, text);
}

#ifdef Q_OS_WIN
constexpr char kExe[] = ".exe";
constexpr char kMissing[] =
    "The demo needs the receiver emulator: kelvane-receiver.exe and kelvane-samples.exe, which "
    "Kelvane's installer puts next to kelvane.exe. They were found neither there nor on the "
    "PATH.\n\n"
    "Kelvane starts without the demo receiver.";

// The pipe is there once the receiver serves it; the device list asks without opening it.
bool LineReady(const QString& pipe) { return SystemDevices().Probe(pipe.toStdString()).exists; }

// A job that ends its processes when its last handle closes: should this program die without
// its clean-up, the receiver goes with it.
void* EndWithThisProgram(const QProcess& child) {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  HANDLE process = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE,
                                 static_cast<DWORD>(child.processId()));
  if (process) {
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    ::AssignProcessToJobObject(job, process);
    ::CloseHandle(process);
  }
  return job;
}
#else
constexpr char kExe[] = "";
constexpr char kMissing[] =
    "The demo needs the receiver emulator: kelvane-receiver and kelvane-samples, from the "
    "package kelvane-receiver. They were found neither next to this program nor on the "
    "PATH.\n\n"
    "Install it with: sudo apt install kelvane-receiver\n\n"
    "Kelvane starts without the demo receiver.";

bool LineReady(const QString& link) { return QFileInfo::exists(link); }
#endif

}  // namespace

QString FindDemoProgram(const QString& programDir, const QString& name,
                        const QStringList& searchPath) {
  for (const QString& candidate : {QDir(programDir).filePath(name + kExe),
                                   QDir(programDir).filePath("../receiver/" + name + kExe)}) {
    const QFileInfo f(candidate);
    if (f.isFile() && f.isExecutable()) return f.canonicalFilePath();
  }
  return QStandardPaths::findExecutable(name, searchPath);
}

Demo::Demo() : dir_(QDir::temp().filePath("kelvane-demo-XXXXXX")) {}

Demo::~Demo() {
  if (receiver_.state() != QProcess::NotRunning) {
    receiver_.kill();
    receiver_.waitForFinished(1000);
  }
#ifdef Q_OS_WIN
  if (job_) ::CloseHandle(job_);
#endif
  // The temporary files of the session live in the directory; leave it before it goes.
  QDir::setCurrent(QDir::tempPath());
}

bool Demo::Start(const QString& programDir) {
  if (!dir_.isValid()) {
    Say("cannot create a temporary directory: " + dir_.errorString());
    return false;
  }
  const QString receiver = FindDemoProgram(programDir, "kelvane-receiver");
  const QString samples = FindDemoProgram(programDir, "kelvane-samples");
  if (receiver.isEmpty() || samples.isEmpty()) {
    Say(kMissing);
    return false;
  }
  QProcess writer;
  NoConsoleWindow(writer);
  writer.setProcessChannelMode(QProcess::ForwardedChannels);
  writer.start(samples, {dir_.path()});
  if (!writer.waitForFinished(static_cast<int>(kSamplesWait.count())) || writer.exitCode() != 0) {
    Say("kelvane-samples failed; starting normally.");
    return false;
  }

  // Its output goes to the terminal: nothing here reads it, so it can never fill a pipe.
  receiver_.setProcessChannelMode(QProcess::ForwardedChannels);
  NoConsoleWindow(receiver_);
#ifdef Q_OS_LINUX
  // Should this program die without its clean-up, the receiver goes with it.
  receiver_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
  // `any` plays whichever exchange the window starts: every MODE and TYPE works.
  receiver_.start(receiver, {"--pace", "--link", LinkPath(), "any"});
#ifdef Q_OS_WIN
  if (receiver_.waitForStarted(static_cast<int>(kLinkWait.count())))
    job_ = EndWithThisProgram(receiver_);
#endif
  const QDeadlineTimer deadline(kLinkWait);
  while (!LineReady(LinkPath())) {
    if (receiver_.state() == QProcess::NotRunning || deadline.hasExpired()) {
      Say("the receiver did not create its link " + LinkPath() + "; starting normally.");
      return false;
    }
    QThread::msleep(static_cast<unsigned long>(kLinkPoll.count()));
  }
  // The SDX conversion writes its temporary files into the working directory.
  QDir::setCurrent(dir_.path());
  return true;
}

QString Demo::SettingsFile() const { return dir_.filePath("kelvane.ini"); }
QString Demo::LinkPath() const {
#ifdef Q_OS_WIN
  // A pipe's name is not a file's: one per program, as the directory is.
  return QString("\\\\.\\pipe\\kelvane-demo-%1").arg(QCoreApplication::applicationPid());
#else
  return dir_.filePath("link");
#endif
}
QString Demo::SampleImage() const { return dir_.filePath("sample.bin"); }

}  // namespace kelvane
