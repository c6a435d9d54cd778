#pragma once
// The upload: the receiver's program image is read back, one byte per poll, into the file
// chosen for it: the 64-byte header, shown as it arrives, then the 1024 data bytes of each
// acknowledged block, until the receiver's end marker.

#include <chrono>

#include "transfer/Exchange.h"

namespace kelvane {

// Writes into the exchange's path. Runs inside the transfer frame, which unlocks the window.
// UploadCompleted, Stopped or FileError.
Outcome RunUpload(Exchange& x);

// The pause before each block's acknowledge, without pumping events: the receiver needs a
// moment between the end of its block and the acknowledge.
inline constexpr std::chrono::milliseconds kAckPause{1};

// Consecutive silent ticks inside a block after which the block is asked for again.
inline constexpr int kSilentTicksBeforeResend = 6;

}  // namespace kelvane
