// The commands of kelvane-cli (see Session.h).

#include "cli/Session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include <vector>

#include "app/Main.h"  // kTempList, kTempContainer: the names of the converted list
#include "app/Messages.h"
#include "app/qt/QtSettingsStore.h"
#include "cli/AutoPort.h"
#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/OverlaySettings.h"
#include "cli/PortBoard.h"
#include "cli/PortList.h"
#include "cli/Readiness.h"
#include "cli/Screen.h"
#include "cli/StopSignals.h"
#include "cli/TraceFile.h"
#include "cli/WatchedPort.h"
#include "files/FileTable.h"
#include "files/ImageFile.h"
#include "files/PrivateFolder.h"
#include "files/SdxConversion.h"
#include "serial/EchoWatch.h"
#include "serial/NativeSerialPort.h"
#include "serial/TracePort.h"
#include "timecode/Clock.h"
#include "transfer/Transfer.h"
#include "transfer/Upload.h"

namespace fs = std::filesystem;

namespace kelvane::cli {

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::chrono::seconds kTick{1};
// Queued bytes (the last acknowledge, the end of data) may take this long to leave.
constexpr std::chrono::seconds kDrainLimit{10};
constexpr std::chrono::milliseconds kDrainPoll{10};
// A line without a descriptor to wait on (lost meanwhile) is read this often.
constexpr std::chrono::milliseconds kBlindPoll{2};

std::string Absolute(const std::string& path) {
#ifdef _WIN32
  // A device's name (\\.\COM10, \\.\pipe\NAME) is no file's: made absolute it would be one
  // on the current drive.
  if (path.rfind("\\\\", 0) == 0) return path;
#endif
  std::error_code ec;
  const fs::path p = fs::absolute(path, ec);
  return ec ? path : p.string();
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", s);
  return buf;
}

double Since(Steady::time_point t) {
  return std::chrono::duration<double>(Steady::now() - t).count();
}

// The system's reason when path cannot be looked at: missing, a link to itself, no access.
std::string Unreachable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return {};
  return path + ": " + std::strerror(errno);
}

// A private folder for the converted list of `download --sdx`, removed with its content,
// by a second signal too.
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
    // A second signal during the removal finishes it: the folder stays registered until gone.
    std::error_code ec;
    fs::remove_all(path_, ec);
    RemoveOnHardStop("");
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
    if (!ok_) error_ = dir + ": " + ec.message();
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

// What the window would show: the header texts of an image check and the boxes of an
// outcome, kept as data for the console to print.
class Shown final : public MainView {
 public:
  struct Box {
    std::string text, explanation;
    bool error = false;     // an error or warning icon
    bool critical = false;  // an error icon: also an error line of the command
  };
  std::vector<Box> boxes;
  ImageTexts header;

  void SetEnabled(Control, bool) override {}
  bool Enabled(Control) const override { return true; }
  bool Value(Control) const override { return false; }
  void SetValue(Control, bool) override {}
  void SetText(Control c, const std::string& text) override {
    if (c == Control::HWver) header.hw = text;
    if (c == Control::SWver) header.sw = text;
    if (c == Control::ModelID) header.model = text;
  }
  void SetCaption(Control, const std::string&) override {}
  void SetProgressMax(int) override {}
  void SetProgressValue(float) override {}
  Answer MessageBox(const std::string& text, const std::string& title, Buttons buttons,
                    Icon icon) override {
    return ExplainedMessageBox(text, "", title, buttons, icon);
  }
  Answer ExplainedMessageBox(const std::string& text, const std::string& explanation,
                             const std::string&, Buttons, Icon icon) override {
    boxes.push_back({text, explanation, icon == Icon::Critical || icon == Icon::Exclamation,
                     icon == Icon::Critical});
    return Answer::OK;
  }
  ChooserResult ShowOpenDialog(const ChooserRequest&) override { return {}; }
  void PumpEvents(std::chrono::milliseconds) override {}
  void CentreWindow() override {}
  void SetBusyPointer(bool) override {}
  void SetToolTip(Control, const std::string&) override {}
  void RequestClose() override {}
};

// What every port of a run shares.
struct RunContext {
  const Options& opt;
  const SettingsStore& store;  // the window's settings, read only
  Screen& screen;
  PortBoard& board;
  bool several;
  Clock& clock;
  std::chrono::microseconds ackPause;
  ExchangeKind kind;
  std::string path;   // the file every download sends (converted list: its container)
  ImageTexts header;  // the image's texts (program download)
};

// One port of a run: its line, its trace, its files and its Transfer, and the words its
// events become.
class PortRun final : public TransferEvents {
 public:
  PortRun(RunContext& run, std::size_t index, std::string label)
      : run_(run),
        index_(index),
        label_(std::move(label)),
        events_(run.opt.json ? std::optional<EventLog>(std::in_place, stdout, label_)
                             : std::nullopt) {}

  const std::string& Label() const { return label_; }
  bool Finished() const { return status_.has_value(); }
  int Status() const { return status_.value_or(kStopped); }
  bool Running() const { return transfer_ && !transfer_->Done(); }
  std::intptr_t Handle() const { return Running() ? transfer_->ReadinessHandle() : -1; }
  // When the transfer's next read is due (see Transfer::ReadDue).
  std::optional<Steady::time_point> ReadDue() const {
    return Running() ? transfer_->ReadDue() : std::nullopt;
  }

  // Starts the port on `device` (empty: the mapping of its label). `refusal`: the file
  // check's failure, which ends it at once.
  void Start(const std::string& device, const Outcome* refusal,
             const std::vector<Shown::Box>& boxes);

  void OnReadable() {
    if (Running()) transfer_->OnReadable();
  }
  void OnTick();
  // A stop signal: the transfer ends as Stop ends it.
  void StopBySignal() {
    if (!Running() || stopped_) return;
    stopped_ = true;
    Error("stopped by a signal");
    transfer_->Stop();
  }
  // Closes what has ended, once its queued bytes have left or the drain limit passed.
  void Settle();

  // The window's texts as lines, or JSON events.
  void Message(const Shown::Box& box);
  void Error(const std::string& text);
  void Note(const std::string& text);

  void End(int status);

 private:
  void Header(const ImageTexts& t);
  std::string PortDevice() const;
  bool OpenTrace();
  void CloseTrace();
  void ReportEnd();

  // TransferEvents
  void UploadHeader(const UploadHeaderTexts& t) override {
    if (t.complete) Header({t.hw, t.sw, t.model});
  }
  void Progress(const ProgressReport& r) override {
    sizeText_ = r.sizeText;
    if (events_)
      events_->Progress(r.progress, Steady::now());
    else
      run_.screen.Progress(index_, r.progress);
  }
  void LineEchoes() override { Error(kLineEchoes); }
  void LineLost(const std::string& why) override { lostWhy_ = why; }

  RunContext& run_;
  const std::size_t index_;
  const std::string label_;
  std::optional<EventLog> events_;
  std::string device_, path_;
  std::unique_ptr<OverlaySettings> aim_;  // a device path: Com 1 stands for it
  std::unique_ptr<NativeSerialPort> serial_;
  TraceFile traceFile_;
  std::unique_ptr<TracePort> trace_;
  std::unique_ptr<WatchedPort> port_;
  DiskFileTable files_;
  std::unique_ptr<Transfer> transfer_;
  const Outcome* outcome_ = nullptr;  // for the end event
  Outcome selection_;
  std::optional<int> status_;
  Steady::time_point started_ = Steady::now();
  std::optional<Steady::time_point> drainUntil_;
  std::string sizeText_, lostWhy_;
  bool stopped_ = false, timedOut_ = false;
};

void PortRun::Message(const Shown::Box& box) {
  if (run_.several) run_.board.Message(index_, box.text);
  if (events_) return events_->Message(box.text, box.error ? "error" : "info");
  const std::string prefix = run_.several ? label_ + ": " : "";
  run_.screen.Line(stdout, prefix + box.text);
  if (box.critical) run_.screen.Line(stderr, "kelvane-cli: " + prefix + box.text);
}

void PortRun::Error(const std::string& text) {
  if (run_.several) run_.board.Notice(index_, text);
  if (events_) return events_->Notice(text);
  run_.screen.Line(stderr, "kelvane-cli: " + (run_.several ? label_ + ": " : "") + text);
}

void PortRun::Note(const std::string& text) {
  if (run_.opt.quiet || events_ || run_.several) return;
  run_.screen.Line(stderr, text);
}

void PortRun::Header(const ImageTexts& t) {
  if (events_) return events_->Header(t.hw, t.sw, t.model);
  if (run_.opt.quiet) return;
  if (run_.several)
    return run_.screen.Line(stderr, label_ + ": " + t.hw + ", " + t.sw + ", " + t.model);
  for (const std::string* s : {&t.hw, &t.sw, &t.model}) Note(*s);
}

std::string PortRun::PortDevice() const {
  if (serial_) return serial_->Device(serial_->CommPort());
  return device_;
}

bool PortRun::OpenTrace() {
  if (run_.opt.trace.empty()) return true;
  const std::string file = run_.several ? PortFileName(run_.opt.trace, label_) : run_.opt.trace;
  std::string why;
  if (!traceFile_.Open(file, run_.opt.force, why)) {
    Error(why);
    return false;
  }
  trace_ = std::make_unique<TracePort>(*serial_, traceFile_.File(), run_.clock);
  trace_->Note("kelvane-cli " KELVANE_VERSION ": " + run_.opt.file + " on " + label_ + " (" +
               device_ +
               "); out: PC to receiver, in: receiver to PC; seconds since the trace began");
  return true;
}

void PortRun::CloseTrace() {
  if (!trace_) return;
  const bool written = trace_->Flush();
  std::string why;
  if (!traceFile_.Commit(why) || !written)
    Error(why.empty() ? "the trace could not be written" : why);
  trace_.reset();
}

void PortRun::Start(const std::string& device, const Outcome* refusal,
                    const std::vector<Shown::Box>& boxes) {
  const bool upload = run_.kind == ExchangeKind::Upload;
  // Port n as the window maps it, through the window's settings; a device path through a
  // store that holds nothing else.
  serial_ = [&] {
    const int n = ComPortNumber(label_);
    if (n != 0 && device.empty()) {
      auto s = std::make_unique<NativeSerialPort>(run_.store);
      s->SetCommPort(n);
      return s;
    }
    aim_ = std::make_unique<OverlaySettings>(nullptr);
    aim_->Write(kAppName, kPortsSection, "COM1", device.empty() ? Absolute(label_) : device);
    auto s = std::make_unique<NativeSerialPort>(*aim_);
    s->SetCommPort(1);
    return s;
  }();
  device_ = PortDevice();
  path_ = upload ? (run_.several ? PortFileName(run_.opt.file, label_) : run_.opt.file) : run_.path;
  run_.board.Started(index_, device_);
  run_.screen.Changed();
  if (events_) {
    std::error_code ec;
    const auto size = upload ? std::uintmax_t{0} : fs::file_size(run_.opt.file, ec);
    events_->Start(
        upload ? "upload" : "download",
        run_.opt.command == Command::DownloadSdx    ? "sdx"
        : run_.opt.command == Command::DownloadTemu ? "temu"
                                                    : "program",
        device_, Absolute(run_.opt.file),
        upload || ec ? std::nullopt : std::optional<long long>(static_cast<long long>(size)));
  }
  if (refusal) {
    selection_ = *refusal;
    outcome_ = &selection_;
    for (const auto& box : boxes) Message(box);
    const Report report = SelectionReport(*refusal, path_);
    if (!report.error.empty()) Error(report.error);
    return End(report.status);
  }
  if (run_.kind == ExchangeKind::ProgramDownload && run_.opt.command == Command::Download)
    Header(run_.header);

  // An upload target: only a regular file, replaced only with --force (and then only once the
  // receiver has ended the upload, which the transfer itself sees to).
  if (upload) {
    const bool exists = files_.Exists(path_);
    // A folder that takes no file, a named pipe or a folder as the target: said now, before
    // the line is opened, by making the private file beside it (and removing it again).
    const int probe = files_.FreeFile();
    if (const std::string beside = files_.OpenBeside(probe, path_); !beside.empty()) {
      files_.Close(probe);
      files_.Delete(beside);
    }
    if (files_.ErrorPending()) {
      selection_ = Outcome::FileFailure(path_, files_.ErrorText());
      outcome_ = &selection_;
      Shown shown;
      ShowOutcome(shown, selection_);
      for (const auto& box : shown.boxes) Message(box);
      Error(FileErrorLine(selection_));
      return End(kFileError);
    }
    if (exists && !run_.opt.force) {
      selection_ = Outcome::Of(Outcome::Kind::ReplaceDeclined);
      outcome_ = &selection_;
      Error(SelectionReport(selection_, path_).error);
      return End(kFileError);
    }
  }
  if (!OpenTrace()) return End(kFileError);

  SerialPort& line = trace_ ? static_cast<SerialPort&>(*trace_) : *serial_;
  line.SetSettings(kLineSettings);
  if (!line.SetPortOpen(true)) {
    Message({kPortNotAvailable, "", true, true});
    if (const std::string why = serial_->LastError(); !why.empty()) Error(why);
    CloseTrace();
    return End(kPortUnavailable);
  }
  line.SetInputMode(1);
  port_ = std::make_unique<WatchedPort>(line);
  transfer_ = std::make_unique<Transfer>(
      *port_, files_, run_.clock, *this,
      TransferSetup{.kind = run_.kind, .path = path_, .ackPause = run_.ackPause, .fileNum = 0});
  port_->Rearm();
  transfer_->Begin();
}

void PortRun::OnTick() {
  if (!Running()) return;
  transfer_->OnTick();
  const auto limit = run_.opt.timeoutSeconds;
  if (!limit || !Running() || stopped_ || timedOut_ ||
      port_->SinceProgress() <= std::chrono::duration<double>(*limit))
    return;
  timedOut_ = true;
  Error("timed out: the receiver's answer has not come for " + Seconds(*limit) + " s " +
        (sizeText_.empty() ? "(nothing of the transfer done yet)"
                           : "during the transfer, at " + sizeText_));
  transfer_->Stop();
}

void PortRun::Settle() {
  if (Finished() || !transfer_ || !transfer_->Done()) return;
  // Let queued output reach the line (the last acknowledge, say) before the port closes.
  if (!drainUntil_) drainUntil_ = Steady::now() + kDrainLimit;
  if (port_->PortOpen() && !port_->Lost() && port_->OutBufferCount() > 0 &&
      Steady::now() < *drainUntil_)
    return;
  if (port_->PortOpen()) port_->SetPortOpen(false);
  files_.CloseAll();
  CloseTrace();
  ReportEnd();
}

void PortRun::ReportEnd() {
  const Outcome& result = transfer_->Result();
  outcome_ = &result;
  Shown shown;
  ShowOutcome(shown, result);
  for (const auto& box : shown.boxes) Message(box);
  // The boxes have told the failure; a lost line gets the system's detail beside them.
  int failure = ReportedFailure(result);
  if (result.lineLost) {
    Message({kPortNotAvailable, "", true, true});
    const std::string why = lostWhy_.empty() ? serial_->LastError() : lostWhy_;
    if (!why.empty()) Error(why);
  }
  if (const std::string line = FileErrorLine(result); !line.empty()) Error(line);
  if (stopped_) return End(kStopped);
  if (timedOut_) return End(kTimedOut);
  if (failure == kDone) {
    const Report report = TransferReport(run_.opt.command, result);
    failure = report.status;
    if (!report.error.empty()) Error(report.error);
  }
  End(failure);
}

void PortRun::End(int status) {
  status_ = status;
  const double seconds = Since(started_);
  const long long bytes =
      outcome_ && outcome_->done > 0 ? outcome_->done : run_.board.Port(index_).bytes;
  run_.board.Ended(index_, status, bytes, seconds);
  run_.screen.Changed();
  if (events_) events_->End(status, outcome_, seconds);
}

// Runs download or upload on every port given, in this process.
class TransferRun {
 public:
  TransferRun(const Options& o, const SettingsStore& store, Clock& clock)
      : opt_(o),
        store_(store),
        labels_(Labels(o, store)),
        board_(labels_),
        screen_(board_, labels_.size() > 1, !o.quiet && !o.json,
                ::isatty(STDERR_FILENO) == 1 && o.trace != "-"),
        context_{.opt = o,
                 .store = store,
                 .screen = screen_,
                 .board = board_,
                 .several = labels_.size() > 1,
                 .clock = clock,
                 .ackPause = CountingLoopTime(clock, kAckPauseRounds),
                 .kind = o.command == Command::Upload         ? ExchangeKind::Upload
                         : o.command == Command::DownloadTemu ? ExchangeKind::TemuDownload
                                                              : ExchangeKind::ProgramDownload,
                 .path = o.file,
                 .header = {}} {
    for (std::size_t i = 0; i < labels_.size(); ++i)
      ports_.push_back(std::make_unique<PortRun>(context_, i, labels_[i]));
  }

  int Execute();

 private:
  // The ports as given, else COMn of the port the window last opened.
  static std::vector<std::string> Labels(const Options& o, const SettingsStore& store) {
    if (!o.ports.empty()) return o.ports;
    if (!o.port.empty()) return {o.port};
    const int n = ComPortNumber("COM" + store.Read(kAppName, kStartupSection, "ComPort", "1"));
    return {"COM" + std::to_string(n != 0 ? n : 1)};
  }
  // The file check every port shares; false when it fails (`refusal` then says how).
  bool Prepare(Outcome& refusal, std::vector<Shown::Box>& boxes);
  // --port auto: the device the receiver speaks on; "" (with the port ended) when none did.
  std::string Listen();
  void Loop();
  int Summary();

  const Options& opt_;
  const SettingsStore& store_;
  std::vector<std::string> labels_;
  PortBoard board_;
  Screen screen_;
  RunContext context_;
  std::vector<std::unique_ptr<PortRun>> ports_;
  std::optional<TempFolder> temp_;
  DiskFileTable files_;
  bool stopSeen_ = false;
  Readiness readiness_;
  std::size_t turn_ = 0;
};

bool TransferRun::Prepare(Outcome& refusal, std::vector<Shown::Box>& boxes) {
  const Command cmd = opt_.command;
  if (cmd == Command::Upload) return true;
  if (const std::string why = Unreachable(opt_.file); !why.empty()) {
    refusal = Outcome::FileFailure(opt_.file, why.substr(opt_.file.size() + 2));
    return false;
  }
  Shown shown;
  if (cmd == Command::Download) {
    refusal = CheckImage(files_, files_.FreeFile(), opt_.file, shown.header);
    context_.header = shown.header;
    if (refusal.kind == Outcome::Kind::Ready) return true;
    ShowOutcome(shown, refusal);  // "Invalid File format", or the system's reason
    boxes = shown.boxes;
    return false;
  }
  if (cmd != Command::DownloadSdx) return true;
  // The converted list lies in a private folder, removed at exit with its two files.
  temp_.emplace();
  if (temp_->Path().empty()) {
    refusal = Outcome::FileFailure("", "cannot make a temporary folder for the converted list");
    return false;
  }
  const std::string list = Absolute(opt_.file);
  WorkingDirectory inTemp(temp_->Path());
  std::string error;
  if (!inTemp.Ok()) {
    refusal = Outcome::FileFailure("", inTemp.Error());
    return false;
  }
  if (!WriteSdxContainer(files_, list, files_.FreeFile(), error, kSdxBufferRecords, nullptr,
                         StopRequested)) {
    refusal = Outcome::FileFailure(list, error);
    return false;
  }
  context_.path = (fs::path(temp_->Path()) / kTempContainer).string();
  return true;
}

std::string TransferRun::Listen() {
  PortRun& port = *ports_.front();
  const SystemDevices devices;
  const auto candidates = AutoCandidates(store_, devices);
  if (candidates.empty()) {
    port.Error("--port auto: no serial device to listen on (kelvane-cli ports lists them)");
    port.End(kPortUnavailable);
    return {};
  }
  std::string names;
  for (const auto& c : candidates) names += (names.empty() ? "" : ", ") + c;
  port.Note("listening for the receiver on " + names);
  const AutoResult heard = ListenForReceiver(candidates, opt_.command == Command::DownloadTemu,
                                             opt_.timeoutSeconds, [] { return StopRequested(); });
  for (const auto& r : heard.refused) port.Note("not listening on " + r);
  switch (heard.end) {
    case AutoResult::End::Found:
      port.Note("the receiver spoke on " + heard.device);
      return heard.device;
    case AutoResult::End::Stopped:
      port.Error("stopped by a signal");
      port.End(kStopped);
      return {};
    case AutoResult::End::TimedOut:
      port.Error("timed out: no receiver spoke on any serial device for " +
                 Seconds(opt_.timeoutSeconds.value_or(0)) + " s");
      port.End(kTimedOut);
      return {};
    case AutoResult::End::NoCandidate: break;
  }
  port.Error("--port auto: none of the serial devices could be opened");
  port.End(kPortUnavailable);
  return {};
}

int TransferRun::Execute() {
  Outcome refusal;
  std::vector<Shown::Box> boxes;
  const bool ready = Prepare(refusal, boxes);
  if (StopRequested()) {  // during a long conversion
    for (auto& p : ports_) {
      p->Error("stopped by a signal");
      p->End(kStopped);
    }
    return Summary();
  }
  std::string device;
  if (ready && labels_.front() == kAutoPort) {
    device = Listen();
    if (device.empty()) return Summary();
  }
  for (auto& p : ports_) p->Start(device, ready ? nullptr : &refusal, boxes);
  Loop();
  return Summary();
}

void TransferRun::Loop() {
  auto nextTick = Steady::now() + kTick;
  for (;;) {
    if (StopRequested() && !stopSeen_) {
      stopSeen_ = true;
      for (auto& p : ports_) p->StopBySignal();
    }
    bool open = false;
    for (auto& p : ports_) {
      p->Settle();
      open = open || !p->Finished();
    }
    screen_.Refresh(false);
    if (!open) break;

    std::vector<std::intptr_t> handles;
    std::vector<PortRun*> owners, deferred;
    bool draining = false, blind = false;
    const auto now = Steady::now();
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(nextTick - now);
    for (auto& p : ports_) {
      if (const auto due = p->ReadDue()) {
        // Its line is not watched until the rest of its block is due.
        deferred.push_back(p.get());
        wait = std::min(wait, std::chrono::ceil<std::chrono::microseconds>(*due - now));
      } else if (p->Running() && p->Handle() >= 0) {
        handles.push_back(p->Handle());
        owners.push_back(p.get());
      }
      blind = blind || (p->Running() && p->Handle() < 0);
      draining = draining || (!p->Running() && !p->Finished());
    }
    if (draining) wait = std::min<std::chrono::microseconds>(wait, kDrainPoll);
    if (blind) wait = std::min<std::chrono::microseconds>(wait, kBlindPoll);
    if (screen_.Pending())
      wait = std::min<std::chrono::microseconds>(wait, Screen::kRedrawInterval);
    const std::vector<bool> ready = readiness_.Wait(handles, !stopSeen_, wait);
    // Ports ready at once are served from a different one each time: in a fixed order the
    // same port would always wait for all the others.
    ++turn_;
    for (std::size_t i = 0; i < owners.size(); ++i) {
      const std::size_t k = (i + turn_) % owners.size();
      if (ready[k]) owners[k]->OnReadable();
    }
    for (PortRun* p : deferred)
      if (p->ReadDue() <= Steady::now()) p->OnReadable();
    if (blind) {
      for (auto& p : ports_)
        if (p->Handle() < 0 && !p->ReadDue()) p->OnReadable();
    }
    if (Steady::now() >= nextTick) {
      for (auto& p : ports_) p->OnTick();
      nextTick = Steady::now() + kTick;
    }
  }
}

int TransferRun::Summary() {
  screen_.Refresh(true);
  screen_.Clear();
  const int worst = board_.Worst();
  if (labels_.size() < 2) return worst;
  if (opt_.json) {
    std::printf("%s\n", board_.SummaryEvent().c_str());
  } else {
    std::fputs(board_.Table().c_str(), stdout);
  }
  std::fflush(stdout);
  return worst;
}

// ports, info and sdx: one step each, without a line.
class Session {
 public:
  explicit Session(const Options& o)
      : opt_(o),
        events_(o.json ? std::optional<EventLog>(std::in_place, stdout, Label()) : std::nullopt) {}

  int Run();

 private:
  std::string Label() const {
    if (!opt_.port.empty()) return opt_.port;
    const int n = ComPortNumber("COM" + store_.Read(kAppName, kStartupSection, "ComPort", "1"));
    return "COM" + std::to_string(n != 0 ? n : 1);
  }
  int Ports();
  int Info();
  int Sdx();
  void Error(const std::string& text) {
    if (events_) return events_->Notice(text);
    std::fprintf(stderr, "kelvane-cli: %s\n", text.c_str());
    std::fflush(stderr);
  }
  int Finish(int status, const Outcome* outcome = nullptr) {
    if (events_) events_->End(status, outcome, Since(started_));
    return status;
  }

  const Options& opt_;
  QtSettingsStore store_;
  std::optional<EventLog> events_;
  DiskFileTable files_;
  Steady::time_point started_ = Steady::now();
};

int Session::Run() {
  switch (opt_.command) {
    case Command::Ports: return Ports();
    case Command::Info: return Info();
    case Command::Sdx: return Sdx();
    default: break;
  }
  SystemClock clock;
  TransferRun run(opt_, store_, clock);
  return run.Execute();
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

int Session::Info() {
  if (const std::string why = Unreachable(opt_.file); !why.empty()) {
    Error(why);
    return Finish(kFileError);
  }
  Shown shown;
  const Outcome checked = CheckImage(files_, files_.FreeFile(), opt_.file, shown.header);
  ShowOutcome(shown, checked);
  for (const auto& box : shown.boxes) {
    if (events_) {
      events_->Message(box.text, box.error ? "error" : "info");
      continue;
    }
    std::printf("%s\n", box.text.c_str());
    std::fflush(stdout);
    if (box.critical) Error(box.text);
  }
  const Report report = SelectionReport(checked, opt_.file);
  if (!report.error.empty()) Error(report.error);
  if (report.status != kDone) return Finish(report.status, &checked);
  const ImageTexts& t = shown.header;
  if (events_)
    events_->Header(t.hw, t.sw, t.model);
  else
    std::printf("%s\n%s\n%s\n", t.hw.c_str(), t.sw.c_str(), t.model.c_str());
  return Finish(kDone, &checked);
}

int Session::Sdx() {
  if (const std::string why = Unreachable(opt_.file); !why.empty()) {
    Error(why);
    return Finish(kFileError);
  }
  const std::string list = Absolute(opt_.file);
  const std::string dir = opt_.dir.empty() ? "." : opt_.dir;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    Error(dir + ": no such directory");
    return Finish(kFileError);
  }
  WorkingDirectory here(dir);
  if (!here.Ok()) {
    Error(here.Error());
    return Finish(kFileError);
  }
  // The conversion the window runs on a chosen list; the sizes told are the ones this run
  // wrote (another run into the same folder may replace the files at any time). A signal
  // ends a long conversion too; its private files are removed.
  std::string error;
  SdxOutput wrote;
  if (!WriteSdxContainer(files_, list, files_.FreeFile(), error, kSdxBufferRecords, &wrote,
                         StopRequested)) {
    if (StopRequested()) {
      Error("stopped by a signal");
      return kStopped;
    }
    Error(FileErrorLine(Outcome::FileFailure(list, error)));
    return Finish(kFileError);
  }
  if (!opt_.quiet && !events_) {
    std::fprintf(stderr, "%s: %llu bytes\n%s: %llu bytes\n",
                 (fs::path(dir) / kTempList).string().c_str(),
                 static_cast<unsigned long long>(wrote.listBytes),
                 (fs::path(dir) / kTempContainer).string().c_str(),
                 static_cast<unsigned long long>(wrote.containerBytes));
    std::fflush(stderr);
  }
  return Finish(kDone);
}

}  // namespace

int RunCommand(const Options& options) {
  Session session(options);
  return session.Run();
}

}  // namespace kelvane::cli
