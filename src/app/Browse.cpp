// Browse: chooses the file of the next transfer for the MODE and TYPE selected, asks before an
// upload target is replaced, and prepares a download file (files/Selection.h).
//
// The event runs on in spite of failing steps: file-table errors stay pending and are looked
// at only after the existence test and after the image check's open. "Yes" to the replace
// question deletes nothing: the upload replaces the file once it has its replacement. Every way out
// that leaves the file unusable also forgets what it was chosen for, so that a later
// cancelled chooser does not give Start back for it. A new choice empties the version texts
// of the previous one; only a good image fills them again.

#include "app/Main.h"
#include "files/Selection.h"

namespace kelvane {

namespace {

// Rounds of event processing before an SDX list is read, so the window repaints and takes
// pending clicks before the work starts.
constexpr int kPumpRounds = 1000;
constexpr std::chrono::milliseconds kNoWait{0};

void ShowTexts(MainView& view, const ImageTexts& texts) {
  view.SetText(Control::HWver, texts.hw);
  view.SetText(Control::SWver, texts.sw);
  view.SetText(Control::ModelID, texts.model);
}

}  // namespace

FileKind Main::CurrentKind() const {
  if (CurrentMode() == 2) return FileKind::UpLoad;
  if (view_.Value(Control::ProgramDot)) return FileKind::Program;
  if (view_.Value(Control::SDXDot)) return FileKind::Sdx;
  if (view_.Value(Control::TemuDot)) return FileKind::Temu;
  return FileKind::None;
}

void Main::Browse_Click() {
  files_.ClearError();
  if (FileNum != 0) {
    files_.Close(FileNum);
    FileNum = 0;
  }
  lastSelection_ = ChooseFile();
  ShowOutcome(view_, lastSelection_);
  view_.SetBusyPointer(false);
  const bool current = chosenKind != FileKind::None && chosenKind == CurrentKind();
  switch (lastSelection_.kind) {
    case Outcome::Kind::Ready:
      // A mode change while the conversion let events run makes this choice stale.
      if (!current) lastSelection_ = Outcome::Of(Outcome::Kind::Cancelled);
      SetFileReady(current);
      break;
    case Outcome::Kind::Cancelled:
      // Nothing new chosen: an earlier choice for this MODE and TYPE stands.
      SetFileReady(!XferPath.empty() && current);
      break;
    default: chosenKind = FileKind::None; break;
  }
}

// The chooser, then for an upload target that exists the replace question (No shows the
// chooser again). Ready once a path stands; the file is then prepared for its mode.
Outcome Main::ChooseFile() {
  const FileKind kind = CurrentKind();
  if (const auto text = ChooserTextFor(kind)) {
    chooser.title = text->title;
    chooser.filter = text->filter;
  }
  ChooserRequest request = chooser;
  // The previous file is offered only where it fits: chosen for this MODE and TYPE (the
  // list the user chose, not the container made of it). Before any choice, XferPath is
  // what start-up suggests (the demo's sample image).
  const bool fits = kind != FileKind::None && chosenKind == kind;
  std::string initial = fits ? ChosenPath : ChosenPath.empty() ? XferPath : "";
  SetFileReady(false);
  for (;;) {
    request.initialName = initial;
    const ChooserResult result = view_.ShowOpenDialog(request);
    const bool failed = result.outcome == ChooserResult::Outcome::Failed;
    // A chooser that reports a choice without a name has chosen nothing.
    if (result.outcome == ChooserResult::Outcome::Cancelled || (!failed && result.path.empty()))
      return Outcome::Of(Outcome::Kind::Cancelled);
    if (!failed) {
      XferPath = initial = result.path;
      chosenKind = kind;
      ShowTexts(view_, {});  // nothing of the previous file stays on show
    }
    const bool exists = files_.Exists(XferPath);
    // A file-table error came first; the chooser's stands behind it.
    if (files_.ErrorPending() || failed) {
      const std::string text = files_.ErrorPending() ? files_.ErrorText() : result.errorText;
      files_.ClearError();
      return Outcome::FileFailure(XferPath, text);
    }
    if (kind != FileKind::UpLoad || !exists) break;
    const Answer answer =
        view_.MessageBox(ReplaceQuestion(XferPath), "", Buttons::YesNoCancel, Icon::Question);
    if (answer == Answer::Yes) return PrepareChosenFile(kind, Target::Replace);
    if (answer != Answer::No) return PrepareChosenFile(kind, Target::Keep);
    // A path the user would not have replaced is not ready, even if the chooser is then cancelled.
    chosenKind = FileKind::None;
  }
  view_.SetText(Control::File, XferPath);
  return PrepareChosenFile(kind, Target::New);
}

// Reserves the file number and records the path; a download file is checked (image) or
// converted (SDX list); an upload target is ready unless its replacement was refused.
Outcome Main::PrepareChosenFile(FileKind kind, Target target) {
  // Reserved only; nothing is opened under it here. After a cancelled chooser FileNum stays
  // 0 while Start may be enabled: the transfers then take the lowest free number themselves
  // (FreeFile()).
  FileNum = static_cast<std::int16_t>(files_.FreeFile());
  ChosenPath = XferPath;
  if (kind == FileKind::UpLoad) {
    // Replace is consent only: the upload replaces the file once it has something to put
    // in its place.
    if (target == Target::Keep) return Outcome::Of(Outcome::Kind::ReplaceDeclined);
    return Outcome::Of(Outcome::Kind::Ready);
  }
  // Taken now: the events run below may change the window's state.
  std::string path = XferPath;
  if (kind == FileKind::Program) view_.SetProgressMax(100);
  if (kind == FileKind::Sdx) {
    view_.SetBusyPointer(true);
    for (int i = 0; i < kPumpRounds; ++i) view_.PumpEvents(kNoWait);
  }
  ImageTexts texts;
  const Outcome prepared = PrepareDownload(files_, kind, FileNum, path, texts);
  if (prepared.kind == Outcome::Kind::Ready) XferPath = path;
  ShowTexts(view_, texts);
  return prepared;
}

}  // namespace kelvane
