#include "transfer/ProgramDownload.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "files/ImageFile.h"
#include "files/ImageForm.h"
#include "transfer/Protocol.h"

namespace kelvane {

namespace {

using wire::kBlockData;

// One chunk poll; true when it read bytes and they hold one of the wanted status bytes.
// A status byte that came in an earlier read is not looked at again.
bool FreshChunkHas(Link& link, std::initializer_list<std::uint8_t> wanted) {
  if (link.ChunkPoll().empty()) return false;
  return std::any_of(wanted.begin(), wanted.end(),
                     [&](std::uint8_t b) { return link.LatestHas(b); });
}

// The receiver's verdict on the image, read from the last chunk that came.
Outcome VerdictOf(const Exchange& x) {
  Verdict v;
  v.checksumError = x.link.LatestHas(wire::kChecksumError);
  v.verifyError = x.link.LatestHas(wire::kVerifyError);
  v.complete = x.link.LatestHas(wire::kComplete);
  using Kind = Outcome::Kind;
  Outcome o = Outcome::Of(v.checksumError || v.verifyError ? Kind::Rejected
                          : v.complete                     ? Kind::Complete
                                                           : Kind::Stopped);
  o.verdict = v;
  return x.WithProgress(o);
}

}  // namespace

Outcome RunProgramDownload(Exchange& x) {
  auto& files = x.files;
  auto& link = x.link;

  // The file: opened for reading only, never created; a file that cannot be read or that
  // cannot even hold its header block is refused before anything is sent.
  if (!x.OpenFile(OpenMode::Read)) return x.FileFailure();
  const int num = x.File();
  x.view.SetProgressMax(100);
  const std::int64_t length = files.Length(num);

  // Every read is checked: bytes the file failed to give are never sent as if it had ended.
  auto readFailed = [&] {
    const Outcome failure = x.FileFailure();
    x.CloseFile();
    return failure;
  };
  std::array<std::uint8_t, wire::kPrefixSize + wire::kHeaderSize> header{};
  const std::size_t firstRead = files.Read(num, std::span(header).first(wire::kPrefixSize));
  if (files.ErrorPending()) return readFailed();
  const std::size_t headerSize =
      wire::kHeaderSize +
      (IsPrefixed(length, std::span(header).first(firstRead)) ? wire::kPrefixSize : 0);
  if (length < static_cast<std::int64_t>(headerSize)) {
    x.CloseFile();
    return Outcome::Invalid(x.path);
  }
  // The header block is read before the receiver is spoken to.
  const std::span<std::uint8_t> block = std::span(header).first(headerSize);
  files.Seek(num, 0);
  files.Read(num, block);
  if (files.ErrorPending()) return readFailed();

  // Ready, header, verdict. Stop in any of these waits skips to the data loop, which then
  // sends nothing, so the end of data still goes out.
  if (!x.Stopping()) {
    link.ClearLatest();
    x.view.ShowWaitingForReceiver(x.clock.Now());
    while (!link.LatestHas(wire::kReady) && !x.Stopping()) link.ChunkPoll();
    if (!x.Stopping()) x.view.ShowWaitingForReceiver(std::nullopt);
  }
  if (!x.Stopping()) {
    link.Send(wire::kHeaderFollows);
    link.Send(block);

    link.ClearLatest();
    while (!x.Stopping()) {
      if (FreshChunkHas(link, {wire::kAccepted, wire::kRefused, wire::kHwRefused, wire::kSwRefused,
                               wire::kModelRefused}))
        break;
    }
    if (!x.Stopping() && !link.LatestHas(wire::kAccepted)) {
      // Refused (11 alone says no more than that).
      x.CloseFile();
      Outcome refused = Outcome::Of(Outcome::Kind::HeaderRefused);
      refused.refusal.hw = link.LatestHas(wire::kHwRefused);
      refused.refusal.sw = link.LatestHas(wire::kSwRefused);
      refused.refusal.model = link.LatestHas(wire::kModelRefused);
      x.Stop();
      return refused;
    }
  }

  // Data: R bytes after the header go as R div 1024 full blocks and one last block with
  // the rest (none when R is a multiple of 1024), filled up with FF.
  std::array<std::uint8_t, kBlockData> data{};
  std::int64_t position = static_cast<std::int64_t>(headerSize);
  bool endOfFile = false;
  bool readError = false;
  while (!endOfFile && !x.Stopping()) {
    const std::size_t got = files.Read(num, data);
    if (files.ErrorPending()) {
      // Ends the data as Stop does: the receiver gets its end of data, and the verdict it
      // may give on what it has is not taken for the image's.
      readError = true;
      x.Stop();
      break;
    }
    if (got < kBlockData) {
      std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.end(), wire::kFiller);
      endOfFile = true;
    }
    position += static_cast<std::int64_t>(got);

    link.Send(wire::kStart);
    link.Send(std::span(wire::kBlockLead).subspan(1));
    link.Send(data);
    link.Send(wire::kBlockTrail);

    while (!x.Stopping()) {
      if (FreshChunkHas(link, {wire::kAccepted})) break;
    }
    x.ShowProgress(position, position, length);
  }

  link.Send(wire::kEnd);
  do {
    if (FreshChunkHas(link, {wire::kChecksumError, wire::kVerifyError, wire::kComplete})) break;
  } while (!x.Stopping());

  if (readError) return readFailed();
  // The verdict is read from the last chunk that came, also after Stop.
  x.CloseFile();
  return VerdictOf(x);
}

}  // namespace kelvane
