#pragma once
// The part of choosing a file that needs no window: what a choice is for, the chooser's
// title and filter for it, and the preparation of a chosen download file. The window's
// Browse (app/Browse.cpp) runs it between the chooser and its boxes.

#include <optional>
#include <string>

#include "files/FileTable.h"
#include "files/ImageFile.h"
#include "transfer/Outcome.h"

namespace kelvane {

// What the next transfer does with the chosen file: MODE UpLoad, or DownLoad with its TYPE.
// None: DownLoad with no TYPE selected.
enum class FileKind { None, UpLoad, Program, Sdx, Temu };

struct ChooserText {
  const char* title;
  const char* filter;  // label|pattern pairs separated by "|"; the first pair is preselected
};

// The chooser's title and filter; nullopt for None (the chooser keeps what it had).
std::optional<ChooserText> ChooserTextFor(FileKind kind);

// Prepares a download file chosen at path, under the file number num: a program image is
// checked and texts get its versions and model; an SDX list is converted and path then names
// the container; a Temu file is taken as it is. texts stay empty but for a good image.
Outcome PrepareDownload(FileTable& files, FileKind kind, int num, std::string& path,
                        ImageTexts& texts);

}  // namespace kelvane
