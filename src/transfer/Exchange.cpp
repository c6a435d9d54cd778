#include "transfer/Exchange.h"

namespace kelvane {

namespace {
constexpr float kBarCeiling = 95.0f;  // the bar reaches 100 only by the end of a transfer
}  // namespace

float ProgressValue(std::int64_t done, std::int64_t total) {
  if (total == 0) return kBarCeiling;
  const double q = static_cast<double>(done) * 95.0 / static_cast<double>(total);
  return q > kBarCeiling ? kBarCeiling : static_cast<float>(q);
}

bool Exchange::Stopping() {
  if (!stopFlag_ && serial.Lost()) stopFlag_ = true;
  return stopFlag_;
}

bool Exchange::OpenFile(OpenMode mode) {
  const int num = fileNum_ > 0 && !files.IsOpen(fileNum_) ? fileNum_ : files.FreeFile();
  files.ClearError();
  if (!files.Open(num, path, mode)) {
    fileNum_ = 0;
    return false;
  }
  fileNum_ = static_cast<std::int16_t>(num);
  return true;
}

std::string Exchange::OpenFileBeside() {
  const int num = fileNum_ > 0 && !files.IsOpen(fileNum_) ? fileNum_ : files.FreeFile();
  files.ClearError();
  std::string part = files.OpenBeside(num, path);
  fileNum_ = part.empty() ? 0 : static_cast<std::int16_t>(num);
  return part;
}

void Exchange::CloseFile() {
  if (fileNum_ != 0 && files.IsOpen(fileNum_)) files.Close(fileNum_);
  fileNum_ = 0;
}

Outcome Exchange::FileFailure() const {
  return WithProgress(Outcome::FileFailure(path, files.ErrorText()));
}

void Exchange::ShowProgress(std::int64_t sizeDone, std::int64_t barDone, std::int64_t total) {
  done_ = sizeDone;
  total_ = total;
  view.SetText(Control::Info, SizeText(sizeDone, total));
  view.SetProgressValue(ProgressValue(barDone, total));
  view.ShowTransferProgress(meter_.Update(sizeDone, total, clock.Now()));
}

Outcome Exchange::WithProgress(Outcome o) const {
  o.done = done_;
  o.total = total_;
  return o;
}

}  // namespace kelvane
