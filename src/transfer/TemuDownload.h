#pragma once
// The Temu download: the receiver leads. It asks for a start, for byte ranges of the
// conditional-access file and for the PC's date and time, and ends the exchange itself;
// the PC answers each complete request and never sends anything unasked.

#include <cstdint>

#include "transfer/Exchange.h"

namespace kelvane {

// Serves the exchange's path. Runs inside the transfer frame, which unlocks the window.
// TemuEnded, Stopped or FileError.
Outcome RunTemuDownload(Exchange& x);

// Read offsets from here on are served like offsets beyond the end of the file.
inline constexpr std::int64_t kTemuOffsetLimit = std::int64_t{1} << 31;

}  // namespace kelvane
