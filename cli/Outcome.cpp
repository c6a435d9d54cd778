#include "cli/Outcome.h"

#include <array>
#include <string_view>

namespace kelvane::cli {

namespace {

struct Row {
  std::string_view text;
  MessageMeaning meaning;
};

// Every fixed text the window shows in a box, with what it means for the exit status.
constexpr std::array kMessages{
    Row{"Kelvane Complete", {kDone, false, true}},
    Row{"Upload Completed", {kDone, false, true}},
    Row{"HW version is not matched", {kHeaderRefused, true, false}},
    Row{"SW version is lower", {kHeaderRefused, true, false}},
    Row{"Model ID is not matched", {kHeaderRefused, true, false}},
    Row{"CheckSUM Error", {kDataRejected, true, false}},
    Row{"Verify Error", {kDataRejected, true, false}},
    Row{"Invalid File format", {kFileError, true, false}},
    Row{"Serial Port is not available", {kPortUnavailable, true, false}},
};

}  // namespace

MessageMeaning MeaningOf(const std::string& text, bool errorIcon) {
  for (const Row& row : kMessages)
    if (row.text == text) return row.meaning;
  return errorIcon ? MessageMeaning{kFileError, true, false} : MessageMeaning{kDone, false, false};
}

void Outcome::Message(const std::string& text, bool errorIcon) {
  const MessageMeaning m = MeaningOf(text, errorIcon);
  if (m.success) success_ = true;
  Fail(m.status);
}

void Outcome::Fail(int status) {
  if (failure_ == kDone) failure_ = status;
}

int Outcome::Status() const {
  if (stopped_) return kStopped;
  if (timedOut_) return kTimedOut;
  return failure_;
}

}  // namespace kelvane::cli
