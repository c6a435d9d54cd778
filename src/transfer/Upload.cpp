#include "transfer/Upload.h"

#include <array>
#include <cstdint>
#include <span>

#include "files/ImageFile.h"
#include "transfer/Protocol.h"

namespace kelvane {

namespace {

using wire::kBlockData;
using wire::kBlockSize;
using wire::kHeaderSize;

constexpr int kHeaderFrame = 1 + static_cast<int>(kHeaderSize);  // 08 and the header
constexpr int kDataFirst = 3;                                    // block bytes 3 to 1026
constexpr int kDataEnd = kDataFirst + static_cast<int>(kBlockData);

// Header bytes (positions in the header frame, after the 08) that the window shows.
struct HeaderFields {
  std::uint32_t announcedLength = 0;         // frame positions 13 to 16, most significant first
  std::uint8_t hw1 = 0, hw2 = 0;             // 19, 20
  std::uint8_t sw1 = 0, sw2 = 0;             // 23, 24
  std::uint8_t modelHigh = 0, modelLow = 0;  // 27, 28

  void Take(int pos, std::uint8_t b) {
    if (pos >= 13 && pos <= 16) announcedLength = announcedLength * 256u + b;
    switch (pos) {
      case 19: hw1 = b; break;
      case 20: hw2 = b; break;
      case 23: sw1 = b; break;
      case 24: sw2 = b; break;
      case 27: modelHigh = b; break;
      case 28: modelLow = b; break;
      default: break;
    }
  }
};

bool Write(Exchange& x, std::span<const std::uint8_t> bytes) {
  return x.files.Write(x.File(), bytes);
}

// Header phase: 01 until the 08 comes (again at each tick while nothing arrives), then the
// 64 header bytes. Returns false when stopped.
bool ReceiveHeader(Exchange& x, std::array<std::uint8_t, kHeaderSize>& header,
                   HeaderFields& fields) {
  auto& link = x.link;
  int rxPos = 0;
  x.view.ShowWaitingForReceiver(x.clock.Now());
  while (!x.Stopping()) {
    const auto b = link.BytePoll();
    if (b) {
      if (rxPos == 0) {
        if (*b != wire::kHeaderFollows) continue;
        rxPos = 1;
        x.view.ShowWaitingForReceiver(std::nullopt);
        continue;
      }
      fields.Take(rxPos, *b);
      header[static_cast<std::size_t>(rxPos - 1)] = *b;
      if (++rxPos == kHeaderFrame) return true;
    } else if (rxPos == 0 && link.TimedOut()) {
      // Only the ready byte is repeated; a header that stalls part way waits for Stop.
      link.Send(wire::kReady);
      link.ClearTimeOut();
    }
  }
  return false;
}

// The texts of a chosen image, by the same function: bytes that have not come count as zero.
void ShowHeader(MainView& view, std::span<const std::uint8_t> header) {
  const ImageTexts texts = HeaderTexts(header);
  view.SetText(Control::HWver, texts.hw);
  view.SetText(Control::SWver, texts.sw);
  view.SetText(Control::ModelID, texts.model);
}

// Block phase: blocks of 1029 bytes, data at 3 to 1026, each written and acknowledged,
// until the end marker 03 comes where a block would start.
Outcome ReceiveBlocks(Exchange& x, std::uint32_t announcedLength) {
  auto& link = x.link;
  std::array<std::uint8_t, kBlockData> block{};
  std::int64_t blockCount = 0;
  int rxPos = 0;
  int silentTicks = 0;
  while (!x.Stopping()) {
    const auto b = link.BytePoll();
    if (!b) {
      if (!link.TimedOut()) continue;
      link.ClearTimeOut();
      if (++silentTicks >= kSilentTicksBeforeResend) {
        // The partial block is dropped; its repetition overwrites what came of it.
        rxPos = 0;
        silentTicks = 0;
        link.Send(wire::kRefused);
      }
      continue;
    }
    silentTicks = 0;
    if (rxPos == 0 && *b == wire::kEnd) {
      link.Send(wire::kComplete);
      // Complete only once the file is: closing it is the last write that can fail.
      const bool closed = x.files.Close(x.File());
      if (!closed) return x.FileFailure();
      x.CloseFile();
      return x.WithProgress(Outcome::Of(Outcome::Kind::UploadCompleted));
    }
    if (rxPos >= kDataFirst && rxPos < kDataEnd)
      block[static_cast<std::size_t>(rxPos - kDataFirst)] = *b;
    if (++rxPos < static_cast<int>(kBlockSize)) continue;

    rxPos = 0;
    if (!Write(x, block)) return x.FileFailure();
    ++blockCount;
    const std::int64_t received = blockCount * static_cast<std::int64_t>(kBlockData);
    x.ShowProgress(received, static_cast<std::int64_t>(kHeaderSize) + received, announcedLength);
    x.clock.Pause(x.ackPause);
    link.Send(wire::kAccepted);
  }
  return x.WithProgress(Outcome::Of(Outcome::Kind::Stopped));
}

}  // namespace

Outcome RunUpload(Exchange& x) {
  auto& view = x.view;
  auto& link = x.link;

  // The image is written to a new file beside the target, which takes the target's place
  // once the receiver's header has come: until then an existing file stays as it was (a
  // silent receiver, Stop, a failure). Nothing of an older, longer file survives behind
  // the new image.
  const std::string part = x.OpenFileBeside();
  if (part.empty()) return x.FileFailure();
  auto discard = [&] {
    x.CloseFile();
    x.files.Delete(part);
  };
  view.SetText(Control::File, x.path);

  link.Flush();
  x.serial.SetInputLen(1);
  link.ClearTimeOut();
  link.Send(wire::kReady);
  view.SetProgressMax(100);

  std::array<std::uint8_t, kHeaderSize> header{};
  HeaderFields fields;
  const bool complete = ReceiveHeader(x, header, fields);
  ShowHeader(view, header);
  // Stopped during the header: the texts show what came, the target is left alone.
  Outcome result = Outcome::Of(Outcome::Kind::Stopped);
  if (!complete) {
    discard();
  } else if (!Write(x, header) || !x.files.MoveIntoPlace({{part, x.path}})) {
    result = x.FileFailure();
    discard();
  } else {
    link.Send(wire::kAccepted);
    result = ReceiveBlocks(x, fields.announcedLength);
  }
  x.files.ClearError();  // shown already, or nothing to show (the discarded file)
  x.serial.SetInputLen(0);
  return result;
}

}  // namespace kelvane
