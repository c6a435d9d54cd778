#include "cli/Session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/Main.h"
#include "app/qt/QtSettingsStore.h"
#include "cli/AutoPort.h"
#include "cli/ConsoleView.h"
#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/OverlaySettings.h"
#include "cli/PortList.h"
#include "cli/StopSignals.h"
#include "cli/TraceFile.h"
#include "cli/WatchedPort.h"
#include "files/FileTable.h"
#include "files/PrivateFolder.h"
#include "files/SdxConversion.h"
#include "serial/NativeSerialPort.h"
#include "serial/SystemDevices.h"
#include "serial/TracePort.h"
#include "timecode/Clock.h"

namespace fs = std::filesystem;

namespace kelvane::cli {

namespace {

constexpr std::chrono::seconds kDrainLimit{10};
constexpr std::chrono::milliseconds kDrainPump{20};

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::absolute(path, ec);
  return ec ? path : p.string();
}

// A private folder for the converted list of `download --sdx`, removed with its content.
class TempFolder {
 public:
  TempFolder() {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);  // TMPDIR, else the system's folder
    if (ec) return;
    path_ = MakePrivateFolder(base, "kelvane-cli-");
    RemoveOnHardStop(path_);
  }
  ~TempFolder() {
    if (path_.empty()) return;
    RemoveOnHardStop("");
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) {
    std::error_code ec;
    previous_ = fs::current_path(ec);
    fs::current_path(dir, ec);
    ok_ = !ec;
    if (!ok_) error_ = ec.message();
  }
  ~WorkingDirectory() {
    std::error_code ec;
    if (ok_) fs::current_path(previous_, ec);
  }
  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }

 private:
  fs::path previous_;
  bool ok_ = false;
  std::string error_;
};

class Session {
 public:
  explicit Session(const Options& o)
      : opt_(o),
        overlay_(&store_),
        serial_(overlay_),
        trace_(OpenTrace()),
        port_(trace_ ? static_cast<SerialPort&>(*trace_) : serial_),
        events_(o.json ? std::optional<EventLog>(std::in_place, stdout, PortLabel())
                       : std::nullopt),
        // A trace on standard error gets whole progress lines between its own, not one
        // redrawn in place.
        view_(ConsoleOptions{o.force, o.quiet, ::isatty(STDERR_FILENO) == 1 && o.trace != "-",
                             stdout, stderr, events_ ? &*events_ : nullptr}),
        main_(view_, port_, overlay_, files_, clock_) {
    view_.Attach(main_);
    view_.afterPump = [this] { AfterPump(); };
  }

  int Run();

 private:
  int Ports();
  int Info();
  int Sdx();
  int Transfer();

  // Chooses the file as the window's Browse does, for the mode and type selected.
  bool Choose(const std::string& path);
  void Select(bool download, Control type);
  bool OpenPort();
  // --port auto: listens until the receiver speaks and maps Com 1 to that device; the exit
  // status when none did.
  int ListenForPort();
  void ClosePort();
  bool RequireFile(const std::string& path);
  void AfterPump();
  // The exit status: a signal first, then silence, then status.
  int Finish(int status);
  std::unique_ptr<TracePort> OpenTrace();
  void CloseTrace();
  // The port as given, else COMn of the stored port; and the device it maps to.
  std::string PortLabel() const;
  std::string DeviceOf(const std::string& label);
  void HeaderEvent();

  const Options& opt_;
  QtSettingsStore store_;
  OverlaySettings overlay_;
  NativeSerialPort serial_;
  SystemClock clock_;
  TraceFile traceFile_;
  std::string traceError_;
  std::unique_ptr<TracePort> trace_;  // between the serial object and the rest, with --trace
  WatchedPort port_;
  std::optional<EventLog> events_;
  ConsoleView view_;
  DiskFileTable files_;
  Main main_;
  const Outcome* outcome_ = nullptr;  // the last file choice's or transfer's, for the end event
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  bool stopSeen_ = false;     // a stop signal came
  bool headerSent_ = false;   // the header event is out
  bool silenceSeen_ = false;  // --timeout ran out
  bool echoSeen_ = false;     // the line gives back what is sent
};

int Session::Run() {
  switch (opt_.command) {
    case Command::Ports: return Ports();
    case Command::Info: return Info();
    case Command::Sdx: return Sdx();
    default: return Transfer();
  }
}

void Session::AfterPump() {
  // An upload's header event goes out as soon as the receiver's header is shown.
  if (events_ && !headerSent_ && main_.TransferRunning() && !view_.Text(Control::ModelID).empty())
    HeaderEvent();
  if (!echoSeen_ && main_.TransferRunning() && main_.SerialLink().Echoing()) {
    echoSeen_ = true;
    view_.Error(kLineEchoes);
  }
  if (StopRequested() && !stopSeen_) {
    stopSeen_ = true;
    view_.Error("stopped by a signal");
    if (main_.TransferRunning()) main_.ExitButton_Click();
  }
  if (opt_.timeoutSeconds && main_.TransferRunning() && !silenceSeen_ && !main_.StopFlag &&
      port_.SinceProgress() > std::chrono::duration<double>(*opt_.timeoutSeconds)) {
    silenceSeen_ = true;
    const std::string at = view_.Text(Control::Info);
    char secs[32];
    std::snprintf(secs, sizeof secs, "%g", *opt_.timeoutSeconds);
    view_.Error(
        std::string("timed out: the receiver's answer has not come for ") + secs + " s " +
        (at.empty() ? "(nothing of the transfer done yet)" : "during the transfer, at " + at));
    main_.ExitButton_Click();
  }
}

int Session::Ports() {
  const std::string stored = store_.Read(kAppName, kStartupSection, "ComPort", "");
  const int last = ComPortNumber("COM" + stored);
  const SystemDevices devices;
  const std::string listing =
      opt_.json ? PortsJson(store_, devices, last) : PortsText(store_, devices, last);
  std::fputs(listing.c_str(), stdout);
  return kDone;
}

void Session::Select(bool download, Control type) {
  main_.SelectOption(download ? Control::DownDot : Control::UpDot, true);
  main_.SelectOption(type, true);
}

bool Session::RequireFile(const std::string& path) {
  // The system's reason: a missing file, a link that points to itself, a folder without access.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  view_.Error(path + ": " + std::strerror(errno));
  return false;
}

bool Session::Choose(const std::string& path) {
  view_.ChooseNext(path);
  main_.Browse_Click();
  outcome_ = &main_.LastSelection();
  const Report report = SelectionReport(main_.LastSelection(), path);
  if (!report.error.empty()) view_.Error(report.error);
  return report.status == kDone;
}

int Session::Info() {
  if (!RequireFile(opt_.file)) return Finish(kFileError);
  Select(true, Control::ProgramDot);
  if (!Choose(opt_.file)) return Finish(kFileError);
  if (events_) {
    HeaderEvent();
  } else {
    for (Control c : {Control::HWver, Control::SWver, Control::ModelID})
      std::printf("%s\n", view_.Text(c).c_str());
    std::fflush(stdout);
  }
  return Finish(kDone);
}

int Session::Sdx() {
  if (!RequireFile(opt_.file)) return Finish(kFileError);
  const std::string list = Absolute(opt_.file);
  const std::string dir = opt_.dir.empty() ? "." : opt_.dir;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    view_.Error(dir + ": no such directory");
    return Finish(kFileError);
  }
  WorkingDirectory here(dir);
  if (!here.Ok()) {
    view_.Error(dir + ": " + here.Error());
    return Finish(kFileError);
  }
  // The conversion the window runs on a chosen list; the sizes told are the ones this run
  // wrote (another run into the same folder may replace the files at any time).
  std::string error;
  SdxOutput wrote;
  // A signal ends a long conversion too; its private files are removed.
  if (!WriteSdxContainer(files_, list, files_.FreeFile(), error, kSdxBufferRecords, &wrote,
                         StopRequested)) {
    if (StopRequested()) {
      view_.Error("stopped by a signal");
      return kStopped;
    }
    view_.Error(FileErrorLine(Outcome::FileFailure(list, error)));
    return Finish(kFileError);
  }
  view_.Note((fs::path(dir) / kTempList).string() + ": " + std::to_string(wrote.listBytes) +
             " bytes");
  view_.Note((fs::path(dir) / kTempContainer).string() + ": " +
             std::to_string(wrote.containerBytes) + " bytes");
  return Finish(kDone);
}

int Session::ListenForPort() {
  const SystemDevices devices;
  const auto candidates = AutoCandidates(store_, devices);
  if (candidates.empty()) {
    view_.Error("--port auto: no serial device to listen on (kelvane-cli ports lists them)");
    return kPortUnavailable;
  }
  std::string names;
  for (const auto& c : candidates) names += (names.empty() ? "" : ", ") + c;
  view_.Note("listening for the receiver on " + names);
  const AutoResult heard = ListenForReceiver(candidates, opt_.command == Command::DownloadTemu,
                                             opt_.timeoutSeconds, [] { return StopRequested(); });
  for (const auto& r : heard.refused) view_.Note("not listening on " + r);
  switch (heard.end) {
    case AutoResult::End::Found:
      view_.Note("the receiver spoke on " + heard.device);
      overlay_.Write(kAppName, kPortsSection, "COM1", heard.device);
      overlay_.Write(kAppName, kStartupSection, "ComPort", "1");
      return kDone;
    case AutoResult::End::Stopped: view_.Error("stopped by a signal"); return kStopped;
    case AutoResult::End::TimedOut: {
      char secs[32];
      std::snprintf(secs, sizeof secs, "%g", opt_.timeoutSeconds.value_or(0));
      view_.Error(std::string("timed out: no receiver spoke on any serial device for ") + secs +
                  " s");
      return kTimedOut;
    }
    case AutoResult::End::NoCandidate: break;
  }
  view_.Error("--port auto: none of the serial devices could be opened");
  return kPortUnavailable;
}

bool Session::OpenPort() {
  // The chosen port goes into the overlay only: the window's "ComPort" is never written.
  if (opt_.port == kAutoPort) {
    // ListenForPort has mapped Com 1 to the device found.
  } else if (const int n = ComPortNumber(opt_.port); n != 0) {
    overlay_.Write(kAppName, kStartupSection, "ComPort", std::to_string(n));
  } else if (!opt_.port.empty()) {
    overlay_.Write(kAppName, kPortsSection, "COM1", Absolute(opt_.port));
    overlay_.Write(kAppName, kStartupSection, "ComPort", "1");
  }
  // Start-up as the window runs it; the mode and type come from the command, not the store.
  overlay_.Write(kAppName, kStartupSection, "Mode", "");
  overlay_.Write(kAppName, kStartupSection, "Type", "");
  main_.Form_Load();
  if (main_.PortIsOpen()) return true;
  if (const std::string why = serial_.LastError(); !why.empty()) view_.Error(why);
  return false;
}

void Session::ClosePort() {
  // Let queued output reach the line (the last acknowledge, say) before the port closes.
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (port_.PortOpen() && port_.OutBufferCount() > 0 &&
         std::chrono::steady_clock::now() < deadline)
    view_.PumpEvents(kDrainPump);
  if (port_.PortOpen()) port_.SetPortOpen(false);
  files_.CloseAll();
}

int Session::Finish(int status) {
  view_.EndProgressLine();
  CloseTrace();
  const int final = stopSeen_ ? kStopped : silenceSeen_ ? kTimedOut : status;
  if (events_)
    events_->End(
        final, outcome_,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
  return final;
}

std::unique_ptr<TracePort> Session::OpenTrace() {
  const bool transfer = opt_.command != Command::Ports && opt_.command != Command::Info &&
                        opt_.command != Command::Sdx;
  if (opt_.trace.empty() || !transfer) return nullptr;
  if (!traceFile_.Open(opt_.trace, opt_.force, traceError_)) return nullptr;
  auto trace = std::make_unique<TracePort>(serial_, traceFile_.File(), clock_);
  trace->Note("kelvane-cli " KELVANE_VERSION ": " + opt_.file + " on " + PortLabel() + " (" +
              DeviceOf(PortLabel()) +
              "); out: PC to receiver, in: receiver to PC; seconds since the trace began");
  return trace;
}

void Session::CloseTrace() {
  if (!trace_) return;
  const bool written = trace_->Flush();
  std::string why;
  if (!traceFile_.Commit(why) || !written)
    view_.Error(why.empty() ? "the trace could not be written" : why);
  trace_.reset();
}

std::string Session::PortLabel() const {
  if (!opt_.port.empty()) return opt_.port;
  const int n = ComPortNumber("COM" + store_.Read(kAppName, kStartupSection, "ComPort", "1"));
  return "COM" + std::to_string(n != 0 ? n : 1);
}

std::string Session::DeviceOf(const std::string& label) {
  if (label == kAutoPort) return serial_.Device(1);  // where the receiver was heard
  const int n = ComPortNumber(label);
  return n != 0 ? serial_.Device(n) : Absolute(label);
}

void Session::HeaderEvent() {
  headerSent_ = true;
  events_->Header(view_.Text(Control::HWver), view_.Text(Control::SWver),
                  view_.Text(Control::ModelID));
}

int Session::Transfer() {
  const Command cmd = opt_.command;
  const bool upload = cmd == Command::Upload;
  if (events_) {
    std::error_code ec;
    const auto size = upload ? std::uintmax_t{0} : fs::file_size(opt_.file, ec);
    events_->Start(
        upload ? "upload" : "download",
        cmd == Command::DownloadSdx    ? "sdx"
        : cmd == Command::DownloadTemu ? "temu"
                                       : "program",
        DeviceOf(PortLabel()), Absolute(opt_.file),
        upload || ec ? std::nullopt : std::optional<long long>(static_cast<long long>(size)));
  }
  if (!traceError_.empty()) {
    view_.Error(traceError_);
    return Finish(kFileError);
  }
  if (!upload && !RequireFile(opt_.file)) return Finish(kFileError);

  // The converted list lies in a private folder, removed at exit with its two files.
  std::optional<TempFolder> temp;
  std::optional<WorkingDirectory> inTemp;
  std::string path = opt_.file;
  if (cmd == Command::DownloadSdx) {
    path = Absolute(path);
    temp.emplace();
    if (temp->Path().empty()) {
      view_.Error("cannot make a temporary folder for the converted list");
      return Finish(kFileError);
    }
  }

  if (opt_.port == kAutoPort) {
    if (const int status = ListenForPort(); status != kDone) return Finish(status);
  }
  if (!OpenPort()) return Finish(kPortUnavailable);
  if (temp) {
    inTemp.emplace(temp->Path());
    if (!inTemp->Ok()) {
      view_.Error(temp->Path() + ": " + inTemp->Error());
      ClosePort();
      return Finish(kFileError);
    }
  }

  const Control type = cmd == Command::DownloadSdx    ? Control::SDXDot
                       : cmd == Command::DownloadTemu ? Control::TemuDot
                                                      : Control::ProgramDot;
  Select(!upload, type);
  if (!Choose(path) || stopSeen_) {
    ClosePort();
    return Finish(kFileError);
  }
  if (cmd == Command::Download) {
    for (Control c : {Control::HWver, Control::SWver, Control::ModelID}) view_.Note(view_.Text(c));
    if (events_) HeaderEvent();
  }

  port_.Rearm();
  view_.StartProgress();
  main_.Start_Click();
  view_.EndProgressLine();
  outcome_ = &main_.LastTransfer();
  if (upload && !view_.Text(Control::HWver).empty()) {
    for (Control c : {Control::HWver, Control::SWver, Control::ModelID}) view_.Note(view_.Text(c));
    if (events_ && !headerSent_) HeaderEvent();
  }

  const Outcome result = main_.LastTransfer();
  ClosePort();
  // The boxes have told the failure; a lost line gets the system's detail beside them.
  const int failure = ReportedFailure(result);
  if (failure == kPortUnavailable && !serial_.LastError().empty()) view_.Error(serial_.LastError());
  if (const std::string line = FileErrorLine(result); !line.empty()) view_.Error(line);
  if (failure != kDone || stopSeen_ || silenceSeen_) return Finish(failure);
  const Report report = TransferReport(cmd, result);
  if (!report.error.empty()) view_.Error(report.error);
  return Finish(report.status);
}

}  // namespace

int RunCommand(const Options& options) {
  Session session(options);
  return session.Run();
}

}  // namespace kelvane::cli
