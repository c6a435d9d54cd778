#include "files/Selection.h"

#include "files/SdxConversion.h"

namespace kelvane {

namespace {

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

}  // namespace

std::optional<ChooserText> ChooserTextFor(FileKind kind) {
  switch (kind) {
    case FileKind::UpLoad: return kUpLoadChooser;
    case FileKind::Program: return kProgramChooser;
    case FileKind::Sdx: return kSdxChooser;
    case FileKind::Temu: return kTemuChooser;
    case FileKind::None: break;
  }
  return std::nullopt;
}

Outcome PrepareDownload(FileTable& files, FileKind kind, int num, std::string& path,
                        ImageTexts& texts) {
  texts = {};
  switch (kind) {
    case FileKind::Program: return CheckImage(files, num, path, texts);
    case FileKind::Sdx: return ConvertSdx(files, num, path);
    default: return Outcome::Of(Outcome::Kind::Ready);
  }
}

}  // namespace kelvane
