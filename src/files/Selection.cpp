// Browse: chooses the file of the next transfer for the MODE and TYPE selected, asks before an
// upload target is replaced, and prepares a download file (image check, SDX conversion).
//
// The event runs on in spite of failing steps: file-table errors stay pending and are shown
// only after the existence test, after the image check's open and after the deletion of an
// upload target. Every way out that leaves the file unusable also forgets the mode it was
// chosen under, so that a later cancelled chooser does not give Start back for it.


#include "app/Main.h"
#include "files/ImageFile.h"
#include "files/SdxConversion.h"

namespace kelvane {

namespace {

constexpr int kDownLoad = 1;
constexpr int kUpLoad = 2;

struct ChooserText {
  const char* title;
  const char* filter;
};

constexpr ChooserText kUpLoadChooser{"Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*"};
constexpr ChooserText kProgramChooser{
    "Open DownLoad File",
    "Program Files (*.BIN)|*.bin|Signed Program Files (*.SGN)|*.sgn|All Files (*.*)|*.*"};
constexpr ChooserText kSdxChooser{"Open Download SDX File", "Program Files (*.SDX)|*.sdx|All Files (*.*)|*.*"};
constexpr ChooserText kTemuChooser{
    "Open Download Temu File",
    "Morvex Files (*.SGN)|*.sgn|Irdeto Files (*.Sd)|*.sd|Nagra Files (*.hsh)|*.hsh|"
    "Cryptoworks (*.pes)|*.pes|All Files (*.*)|*.*"};

// The chooser keeps its title and filter between showings (Main::chooser); with no TYPE
// selected under DownLoad they stay as the last showing left them.
ChooserRequest ChooserFor(Main& main) {
  ChooserRequest& req = main.chooser;
  const MainView& view = main.view;
  const ChooserText* text = nullptr;
  if (main.CurrentMode() == kUpLoad) text = &kUpLoadChooser;
  else if (view.Value(Control::ProgramDot)) text = &kProgramChooser;
  else if (view.Value(Control::SDXDot)) text = &kSdxChooser;
  else if (view.Value(Control::TemuDot)) text = &kTemuChooser;
  if (text) {
    req.title = text->title;
    req.filter = text->filter;
  }
  return req;
}

enum class Replace { None, Yes, No, Cancel };

}  // namespace

void Main::Browse_Click() {
  files.ClearError();
  if (FileNum != 0) {
    files.Close(FileNum);
    FileNum = 0;
  }

  // Shows the pending error and ends the event with Start disabled.
  auto showError = [this](const std::string& text) {
    files.ClearError();
    view.MessageBox(text, "", Buttons::OK, Icon::Exclamation);
    chosenMode = 0;
  };

  ChooserRequest request = ChooserFor(*this);
  SetFileReady(false);

  const bool upload = CurrentMode() == kUpLoad;
  Replace answer = Replace::None;
  do {
    request.initialName = XferPath;
    const ChooserResult result = view.ShowOpenDialog(request);
    // A chooser that reports a choice without a name has chosen nothing.
    if (result.outcome == ChooserResult::Outcome::Cancelled ||
        (result.outcome == ChooserResult::Outcome::Chosen && result.path.empty())) {
      SetFileReady(!XferPath.empty() && chosenMode == CurrentMode());
      return;
    }
    std::string chooserError;
    if (result.outcome == ChooserResult::Outcome::Failed) {
      chooserError = result.errorText;
    } else {
      XferPath = result.path;
      chosenMode = CurrentMode();
    }
    const bool exists = files.Exists(XferPath);
    // A file-table error came first; the chooser's stands behind it.
    if (files.ErrorPending() || result.outcome == ChooserResult::Outcome::Failed) {
      showError(files.ErrorPending() ? files.ErrorText() : chooserError);
      return;
    }
    if (!upload) {
      view.SetText(Control::File, XferPath);
      break;
    }
    answer = Replace::None;
    if (exists) {
      switch (view.MessageBox("Replace existing file - " + XferPath + "?", "", Buttons::YesNoCancel,
                              Icon::Question)) {
        case Answer::Yes: answer = Replace::Yes; break;
        case Answer::No: answer = Replace::No; break;
        default: answer = Replace::Cancel; break;
      }
    }
    // A path the user would not have replaced is not ready, even if the chooser is then cancelled.
    if (answer == Replace::No) chosenMode = 0;
  } while (answer == Replace::No);

  // Reserved only; nothing is opened under it here. After a cancelled chooser FileNum stays
  // 0 while Start may be enabled: the transfers then take the lowest free number themselves
  // (FreeFile()).
  FileNum = static_cast<std::int16_t>(files.FreeFile());
  ChosenPath = XferPath;

  if (!upload) {
    if (view.Value(Control::ProgramDot)) {
      if (!CheckImage(*this)) {
        chosenMode = 0;
        return;
      }
    } else if (view.Value(Control::SDXDot)) {
      const bool converted = ConvertSdx(*this);
      if (!converted) {
        view.SetBusyPointer(false);
        chosenMode = 0;
        return;
      }
    }
  } else {
    switch (answer) {
      case Replace::Yes:
        files.Delete(XferPath);
        if (files.ErrorPending()) {
          showError(files.ErrorText());
          return;
        }
        break;
      case Replace::None:
        view.SetText(Control::File, XferPath);
        break;
      default:
        chosenMode = 0;
        return;
    }
  }

  view.SetBusyPointer(false);
  // A mode change while the conversion let events run makes this choice stale.
  SetFileReady(chosenMode == CurrentMode());
}

}  // namespace kelvane
