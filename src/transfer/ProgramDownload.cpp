#include "transfer/ProgramDownload.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "app/Main.h"
#include "files/ImageFile.h"
#include "files/ImageForm.h"
#include "transfer/Frame.h"
#include "transfer/Protocol.h"

namespace kelvane {

namespace {

using wire::kBlockData;

// One chunk poll; true when it read bytes and they hold one of the wanted status bytes.
// A status byte that came in an earlier read is not looked at again.
bool FreshChunkHas(Link& link, std::initializer_list<std::uint8_t> wanted) {
  if (link.ChunkPoll().empty()) return false;
  return std::any_of(wanted.begin(), wanted.end(), [&](std::uint8_t b) { return link.LatestHas(b); });
}

void ShowIfLatestHas(Main& main, std::uint8_t status, const char* text, const char* title, Icon icon) {
  if (main.link.LatestHas(status)) main.view.MessageBox(text, title, Buttons::OK, icon);
}

}  // namespace

void RunProgramDownload(Main& main) {
  auto& view = main.view;
  auto& files = main.files;
  auto& link = main.link;

  // The file: opened for reading only, never created; a file that cannot be read or that
  // cannot even hold its header block is refused before anything is sent.
  if (!OpenTransferFile(main, OpenMode::Read)) return;
  const int num = main.FileNum;
  view.SetProgressMax(100);
  const std::int64_t length = files.Length(num);

  std::array<std::uint8_t, wire::kPrefixSize + wire::kHeaderSize> header{};
  const std::size_t firstRead = files.Read(num, std::span(header).first(wire::kPrefixSize));
  const std::size_t headerSize =
      wire::kHeaderSize + (IsPrefixed(length, std::span(header).first(firstRead)) ? wire::kPrefixSize : 0);
  if (length < static_cast<std::int64_t>(headerSize)) {
    CloseTransferFile(main);
    view.MessageBox(kInvalidFileFormat, kFileErrorTitle, Buttons::OK, Icon::Critical);
    return;
  }
  files.Seek(num, 0);

  // Ready, header, verdict. Stop in any of these waits skips to the data loop, which then
  // sends nothing, so the end of data still goes out.
  if (!Stopping(main)) {
    link.ClearLatest();
    while (!link.LatestHas(wire::kReady) && !Stopping(main)) link.ChunkPoll();
  }
  if (!Stopping(main)) {
    link.Send(wire::kHeaderFollows);
    const std::span<std::uint8_t> block = std::span(header).first(headerSize);
    files.Read(num, block);
    link.Send(block);

    link.ClearLatest();
    while (!Stopping(main)) {
      if (FreshChunkHas(link, {wire::kAccepted, wire::kRefused, wire::kHwRefused, wire::kSwRefused,
                               wire::kModelRefused}))
        break;
    }
    if (!Stopping(main) && !link.LatestHas(wire::kAccepted)) {
      // Refused (11 alone says no more than that).
      CloseTransferFile(main);
      ShowIfLatestHas(main, wire::kHwRefused, kHwNotMatched, kFileErrorTitle, Icon::Critical);
      ShowIfLatestHas(main, wire::kSwRefused, kSwLower, kFileErrorTitle, Icon::Critical);
      ShowIfLatestHas(main, wire::kModelRefused, kModelNotMatched, kFileErrorTitle, Icon::Critical);
      main.StopFlag = true;
      return;
    }
  }

  // Data: R bytes after the header go as R div 1024 full blocks and one last block with
  // the rest (none when R is a multiple of 1024), filled up with FF.
  std::array<std::uint8_t, kBlockData> data{};
  std::int64_t position = static_cast<std::int64_t>(headerSize);
  bool endOfFile = false;
  while (!endOfFile && !Stopping(main)) {
    const std::size_t got = files.Read(num, data);
    if (got < kBlockData) {
      std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.end(), wire::kFiller);
      endOfFile = true;
    }
    position += static_cast<std::int64_t>(got);

    link.Send(wire::kStart);
    link.Send(std::span(wire::kBlockLead).subspan(1));
    link.Send(data);
    link.Send(wire::kBlockTrail);

    while (!Stopping(main)) {
      if (FreshChunkHas(link, {wire::kAccepted})) break;
    }
    ShowProgress(main, position, position, length);
  }

  link.Send(wire::kEnd);
  do {
    if (FreshChunkHas(link, {wire::kChecksumError, wire::kVerifyError, wire::kComplete})) break;
  } while (!Stopping(main));

  // The verdict is read from the last chunk that came, also after Stop.
  CloseTransferFile(main);
  ShowIfLatestHas(main, wire::kChecksumError, kChecksumErrorText, "Kelvane Error", Icon::Critical);
  ShowIfLatestHas(main, wire::kVerifyError, kVerifyErrorText, "Kelvane Error", Icon::Critical);
  ShowIfLatestHas(main, wire::kComplete, kCompleteText, kAppName, Icon::Information);
}

}  // namespace kelvane
