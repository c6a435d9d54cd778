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

Exchange::~Exchange() { CloseFile(); }

bool Exchange::OpenFile(OpenMode mode) {
  auto& files = x_.files;
  const int num = x_.fileNum > 0 && !files.IsOpen(x_.fileNum) ? x_.fileNum : files.FreeFile();
  files.ClearError();
  fileNum_ = files.Open(num, x_.path, mode) ? num : 0;
  return fileNum_ != 0;
}

std::string Exchange::OpenFileBeside() {
  auto& files = x_.files;
  const int num = x_.fileNum > 0 && !files.IsOpen(x_.fileNum) ? x_.fileNum : files.FreeFile();
  files.ClearError();
  std::string part = files.OpenBeside(num, x_.path);
  fileNum_ = part.empty() ? 0 : num;
  return part;
}

void Exchange::CloseFile() {
  if (fileNum_ != 0 && x_.files.IsOpen(fileNum_)) x_.files.Close(fileNum_);
  fileNum_ = 0;
}

Outcome Exchange::FileFailure() const {
  return Outcome::FileFailure(x_.path, x_.files.ErrorText());
}

void Exchange::ShowProgress(std::int64_t sizeDone, std::int64_t barDone, std::int64_t total,
                            TimePoint now) {
  done_bytes_ = sizeDone;
  total_ = total;
  ProgressReport r;
  r.done = sizeDone;
  r.barDone = barDone;
  r.total = total;
  r.sizeText = SizeText(sizeDone, total);
  r.barValue = ProgressValue(barDone, total);
  r.progress = meter_.Update(sizeDone, total, now);
  x_.events.Progress(r);
}

void Exchange::Finish(Outcome o) {
  if (done_) return;
  CloseFile();
  if (o.done == 0 && o.total == 0) {  // unless the outcome counts for itself
    o.done = done_bytes_;
    o.total = total_;
  }
  result_ = std::move(o);
  done_ = true;
}

}  // namespace kelvane
