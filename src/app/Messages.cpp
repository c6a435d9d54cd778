#include "app/Messages.h"

#include "files/SdxConversion.h"

namespace kelvane {

namespace {

void Show(MainView& view, const char* text, const char* title, Icon icon) {
  view.MessageBox(text, title, Buttons::OK, icon);
}

}  // namespace

std::string ReplaceQuestion(const std::string& path) {
  return "Replace existing file - " + path + "?";
}

std::string UploadIncompleteText(const Outcome& o) {
  return "The receiver ended the upload after " + std::to_string(o.done) + " of the " +
         std::to_string(o.total) + " data bytes its header announced; " + o.path +
         " holds what came.";
}

std::string TemuEndedText(std::int64_t served) {
  return "Temu exchange ended by the receiver: " + std::to_string(served) +
         (served == 1 ? " request" : " requests") + " served";
}

void ShowOutcome(MainView& view, const Outcome& o) {
  using Kind = Outcome::Kind;
  switch (o.kind) {
    case Kind::PortUnavailable:
      // The serial object's account of the device and the cause goes under the fixed text.
      view.ExplainedMessageBox(kPortNotAvailable, o.systemError, kErrorTitle, Buttons::OK,
                               Icon::Critical);
      break;
    case Kind::FileError:
      view.MessageBox(o.systemError.empty() ? kFileCannotBeUsed : o.systemError, "", Buttons::OK,
                      Icon::Exclamation);
      break;
    case Kind::InvalidFile: Show(view, kInvalidFileFormat, kFileErrorTitle, Icon::Critical); break;
    case Kind::NoChannels:
      view.MessageBox(NoChannelsText(o.path), kFileErrorTitle, Buttons::OK, Icon::Exclamation);
      break;
    case Kind::HeaderRefused:
      if (o.refusal.hw) Show(view, kHwNotMatched, kFileErrorTitle, Icon::Critical);
      if (o.refusal.sw) Show(view, kSwLower, kFileErrorTitle, Icon::Critical);
      if (o.refusal.model) Show(view, kModelNotMatched, kFileErrorTitle, Icon::Critical);
      break;
    case Kind::Complete:
    case Kind::Rejected:
    case Kind::Stopped:
      // A download's verdict is read also after Stop; each part has its own box.
      if (o.verdict.checksumError)
        Show(view, kChecksumErrorText, kTransferErrorTitle, Icon::Critical);
      if (o.verdict.verifyError) Show(view, kVerifyErrorText, kTransferErrorTitle, Icon::Critical);
      if (o.verdict.complete) Show(view, kCompleteText, kAppName, Icon::Information);
      break;
    case Kind::UploadCompleted:
      Show(view, kUploadCompleted, kUploadTitle, Icon::Information);
      break;
    case Kind::UploadIncomplete:
      view.ExplainedMessageBox(kUploadIncomplete, UploadIncompleteText(o), kUploadTitle,
                               Buttons::OK, Icon::Exclamation);
      break;
    case Kind::Nothing:
    case Kind::Ready:
    case Kind::Cancelled:
    case Kind::ReplaceDeclined:
    case Kind::TemuEnded: break;
  }
}

}  // namespace kelvane
