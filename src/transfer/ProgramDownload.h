#pragma once
// The program download: a program image (or an SDX list container) goes to the receiver
// as its header block and then 1024-byte data blocks, each acknowledged; the receiver's
// verdicts on the header and on the whole image are shown as messages.

namespace kelvane {

class Main;

// Sends main.XferPath. Runs inside the transfer frame, which unlocks the window afterwards.
void RunProgramDownload(Main& main);

inline constexpr const char* kHwNotMatched = "HW version is not matched";
inline constexpr const char* kSwLower = "SW version is lower";
inline constexpr const char* kModelNotMatched = "Model ID is not matched";
inline constexpr const char* kChecksumErrorText = "CheckSUM Error";
inline constexpr const char* kVerifyErrorText = "Verify Error";
inline constexpr const char* kCompleteText = "Kelvane Complete";

}  // namespace kelvane
