#pragma once
// The program download: a program image (or an SDX list container) goes to the receiver
// as its header block and then 1024-byte data blocks, each acknowledged; the receiver's
// verdicts on the header and on the whole image come back in the outcome.

#include "transfer/Exchange.h"

namespace kelvane {

// Sends the exchange's path. Runs inside the transfer frame, which unlocks the window
// afterwards. Complete, Rejected, HeaderRefused, Stopped, InvalidFile or FileError.
Outcome RunProgramDownload(Exchange& x);

}  // namespace kelvane
