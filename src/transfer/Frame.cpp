#include "transfer/Frame.h"

#include "app/Main.h"
#include "transfer/ProgramDownload.h"
#include "transfer/TemuDownload.h"
#include "transfer/Upload.h"

namespace kelvane {

namespace {

constexpr std::int64_t kKilo = 1000;  // sizes shown to the user count 1000 bytes to the k
constexpr float kBarCeiling = 95.0f;  // the bar reaches 100 only by the end of a transfer

void WriteChoice(Main& main) {
  auto& view = main.view;
  main.settings.Write(kAppName, kStartupSection, "Mode", view.Value(Control::DownDot) ? "1" : "2");
  // The TYPE options keep their value while UpLoad disables them; that value is recorded.
  // The window always has one of them selected; with none, the remembered type is kept.
  const char* type = view.Value(Control::ProgramDot) ? "1"
                     : view.Value(Control::SDXDot)   ? "2"
                     : view.Value(Control::TemuDot)  ? "3"
                                                     : nullptr;
  if (type) main.settings.Write(kAppName, kStartupSection, "Type", type);
  main.settings.Write(kAppName, kStartupSection, "FileName", main.ChosenPath);
}

void RunChosenExchange(Main& main) {
  const auto& view = main.view;
  if (view.Value(Control::DownDot)) {
    if (view.Value(Control::ProgramDot) || view.Value(Control::SDXDot)) {
      // An SDX list goes out as the container file the selection built (XferPath).
      RunProgramDownload(main);
    } else if (view.Value(Control::TemuDot)) {
      RunTemuDownload(main);
    }
    return;
  }
  // Nothing is read back as a conditional-access file: UpLoad with "Temu" runs no exchange.
  if (!view.Value(Control::TemuDot)) RunUpload(main);
}

// The line failed under the transfer: close the port, show the window as with a closed port
// (Start comes back when the port is opened again) and say so once.
void ReportLostLine(Main& main) {
  main.ShowLineLost();
  main.view.MessageBox(kPortNotAvailable, "Error", Buttons::OK, Icon::Critical);
}

}  // namespace

void Main::Start_Click() {
  // Start is usable only with a file ready and the port open; a click that comes anyway
  // (a port closed under an enabled Start, a second click) starts nothing.
  if (transferRunning_ || !serial.PortOpen()) return;
  transferRunning_ = true;
  BeginTransfer(*this);
  if (!serial.Lost()) RunChosenExchange(*this);
  EndTransfer(*this);
  if (serial.Lost()) ReportLostLine(*this);
  transferRunning_ = false;
  if (closePending_) {
    // The close asked for during the transfer stopped it; now it can run as usual.
    closePending_ = false;
    view.RequestClose();
  }
}

void BeginTransfer(Main& main) {
  auto& view = main.view;
  view.SetEnabled(Control::ModeFrame, false);
  view.SetEnabled(Control::TypeFrame, false);
  main.StopFlag = false;
  view.SetEnabled(Control::Start, false);
  view.SetEnabled(Control::Browse, false);
  view.SetEnabled(Control::File, false);
  view.SetEnabled(Control::ExitButton, true);
  view.SetEnabled(Control::portOpen, false);
  WriteChoice(main);
}

void EndTransfer(Main& main) {
  auto& view = main.view;
  CloseTransferFile(main);
  main.SetFileReady(true);
  view.SetEnabled(Control::Browse, true);
  view.SetEnabled(Control::File, true);
  view.SetEnabled(Control::ExitButton, false);
  view.SetEnabled(Control::portOpen, true);
  view.SetText(Control::Info, "");
  view.SetProgressValue(0);
  view.SetEnabled(Control::ModeFrame, true);
  view.SetEnabled(Control::TypeFrame, true);
}

std::string SizeText(std::int64_t done, std::int64_t total) {
  return std::to_string(done / kKilo) + "k/" + std::to_string(total / kKilo) + "K";
}

float ProgressValue(std::int64_t done, std::int64_t total) {
  if (total == 0) return kBarCeiling;
  const double q = static_cast<double>(done) * 95.0 / static_cast<double>(total);
  return q > kBarCeiling ? kBarCeiling : static_cast<float>(q);
}

void ShowProgress(Main& main, std::int64_t sizeDone, std::int64_t barDone, std::int64_t total) {
  main.view.SetText(Control::Info, SizeText(sizeDone, total));
  main.view.SetProgressValue(ProgressValue(barDone, total));
}

bool Stopping(Main& main) {
  if (!main.StopFlag && main.serial.Lost()) main.StopFlag = true;
  return main.StopFlag;
}

bool OpenTransferFile(Main& main, OpenMode mode) {
  auto& files = main.files;
  const int num = main.FileNum > 0 && !files.IsOpen(main.FileNum) ? main.FileNum : files.FreeFile();
  files.ClearError();
  if (!files.Open(num, main.XferPath, mode)) {
    main.FileNum = 0;
    ShowFileError(main);
    return false;
  }
  main.FileNum = static_cast<std::int16_t>(num);
  return true;
}

void CloseTransferFile(Main& main) {
  if (main.FileNum != 0 && main.files.IsOpen(main.FileNum)) main.files.Close(main.FileNum);
  main.FileNum = 0;
}

void ShowFileError(Main& main) {
  const std::string text = main.files.ErrorText();
  main.view.MessageBox(text.empty() ? "The file cannot be used" : text, "", Buttons::OK, Icon::Exclamation);
}

}  // namespace kelvane
