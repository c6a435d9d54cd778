// Browse: chooses the file of the next transfer for the MODE and TYPE selected, asks before an
// upload target is replaced, and prepares a download file (image check, SDX conversion).
//
// The event runs on in spite of failing steps: file-table errors stay pending and are looked
// at only after the existence test and after the image check's open. "Yes" to the replace
// question deletes nothing: the upload replaces the file once it has its replacement. Every way out
// that leaves the file unusable also forgets the mode it was chosen under, so that a later
// cancelled chooser does not give Start back for it.

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

constexpr ChooserText kUpLoadChooser{"Open UpLoad File",
                                     "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*"};
constexpr ChooserText kProgramChooser{
    "Open DownLoad File",
    "Program Files (*.BIN)|*.bin|Signed Program Files (*.SGN)|*.sgn|All Files (*.*)|*.*"};
constexpr ChooserText kSdxChooser{"Open Download SDX File",
                                  "Program Files (*.SDX)|*.sdx|All Files (*.*)|*.*"};
constexpr ChooserText kTemuChooser{
    "Open Download Temu File",
    "Morvex Files (*.SGN)|*.sgn|Irdeto Files (*.Sd)|*.sd|Nagra Files (*.hsh)|*.hsh|"
    "Cryptoworks (*.pes)|*.pes|All Files (*.*)|*.*"};

// The chooser keeps its title and filter between showings (Main::chooser); with no TYPE
// selected under DownLoad they stay as the last showing left them.
ChooserRequest ChooserFor(ChooserRequest& req, const MainView& view, bool upload) {
  const ChooserText* text = nullptr;
  if (upload)
    text = &kUpLoadChooser;
  else if (view.Value(Control::ProgramDot))
    text = &kProgramChooser;
  else if (view.Value(Control::SDXDot))
    text = &kSdxChooser;
  else if (view.Value(Control::TemuDot))
    text = &kTemuChooser;
  if (text) {
    req.title = text->title;
    req.filter = text->filter;
  }
  return req;
}

}  // namespace

void Main::Browse_Click() {
  files_.ClearError();
  if (FileNum != 0) {
    files_.Close(FileNum);
    FileNum = 0;
  }
  lastSelection_ = ChooseFile();
  ShowOutcome(view_, lastSelection_);
  view_.SetBusyPointer(false);
  switch (lastSelection_.kind) {
    case Outcome::Kind::Ready:
      // A mode change while the conversion let events run makes this choice stale.
      if (chosenMode != CurrentMode()) lastSelection_ = Outcome::Of(Outcome::Kind::Cancelled);
      SetFileReady(chosenMode == CurrentMode());
      break;
    case Outcome::Kind::Cancelled:
      // Nothing new chosen: an earlier choice under this mode stands.
      SetFileReady(!XferPath.empty() && chosenMode == CurrentMode());
      break;
    default: chosenMode = 0; break;
  }
}

// The chooser, then for an upload target that exists the replace question (No shows the
// chooser again). Ready once a path stands; the file is then prepared for its mode.
Outcome Main::ChooseFile() {
  const bool upload = CurrentMode() == kUpLoad;
  ChooserRequest request = ChooserFor(chooser, view_, upload);
  SetFileReady(false);
  for (;;) {
    request.initialName = XferPath;
    const ChooserResult result = view_.ShowOpenDialog(request);
    const bool failed = result.outcome == ChooserResult::Outcome::Failed;
    // A chooser that reports a choice without a name has chosen nothing.
    if (result.outcome == ChooserResult::Outcome::Cancelled || (!failed && result.path.empty()))
      return Outcome::Of(Outcome::Kind::Cancelled);
    if (!failed) {
      XferPath = result.path;
      chosenMode = CurrentMode();
    }
    const bool exists = files_.Exists(XferPath);
    // A file-table error came first; the chooser's stands behind it.
    if (files_.ErrorPending() || failed) {
      const std::string text = files_.ErrorPending() ? files_.ErrorText() : result.errorText;
      files_.ClearError();
      return Outcome::FileFailure(XferPath, text);
    }
    if (!upload || !exists) break;
    const Answer answer =
        view_.MessageBox(ReplaceQuestion(XferPath), "", Buttons::YesNoCancel, Icon::Question);
    if (answer == Answer::Yes) return PrepareChosenFile(true, Target::Replace);
    if (answer != Answer::No) return PrepareChosenFile(true, Target::Keep);
    // A path the user would not have replaced is not ready, even if the chooser is then cancelled.
    chosenMode = 0;
  }
  view_.SetText(Control::File, XferPath);
  return PrepareChosenFile(upload, Target::New);
}

// Reserves the file number and records the path; a download file is checked (image) or
// converted (SDX list); an upload target is ready unless its replacement was refused.
Outcome Main::PrepareChosenFile(bool upload, Target target) {
  // Reserved only; nothing is opened under it here. After a cancelled chooser FileNum stays
  // 0 while Start may be enabled: the transfers then take the lowest free number themselves
  // (FreeFile()).
  FileNum = static_cast<std::int16_t>(files_.FreeFile());
  ChosenPath = XferPath;
  if (!upload) {
    if (view_.Value(Control::ProgramDot)) return CheckImage(files_, view_, FileNum, XferPath);
    if (view_.Value(Control::SDXDot)) return ConvertSdx(files_, view_, FileNum, XferPath);
    return Outcome::Of(Outcome::Kind::Ready);
  }
  // Replace is consent only: the upload replaces the file once it has something to put in
  // its place.
  if (target == Target::Keep) return Outcome::Of(Outcome::Kind::ReplaceDeclined);
  return Outcome::Of(Outcome::Kind::Ready);
}

}  // namespace kelvane
