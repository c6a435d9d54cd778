#pragma once
// Every text the window shows in a message box, written once, and the one function that
// turns an outcome into the boxes the window shows for it.

#include <cstdint>
#include <string>

#include "app/MainView.h"
#include "transfer/Outcome.h"

namespace kelvane {

inline constexpr const char* kPortNotAvailable = "Serial Port is not available";
inline constexpr const char* kPortClosed = "Port Closed";
inline constexpr const char* kDataCannotBeSent = "Data cannot be sent";
inline constexpr const char* kFileCannotBeUsed = "The file cannot be used";
inline constexpr const char* kInvalidFileFormat = "Invalid File format";
inline constexpr const char* kHwNotMatched = "HW version is not matched";
inline constexpr const char* kSwLower = "SW version is lower";
inline constexpr const char* kModelNotMatched = "Model ID is not matched";
inline constexpr const char* kChecksumErrorText = "CheckSUM Error";
inline constexpr const char* kVerifyErrorText = "Verify Error";
inline constexpr const char* kCompleteText = "Kelvane Complete";
inline constexpr const char* kUploadCompleted = "Upload Completed";
inline constexpr const char* kUploadIncomplete = "Upload Incomplete";

// The explanation of the start-up box on a machine without any serial device.
inline constexpr const char* kNoSerialDevice =
    "No serial device was found on this computer.\n"
    "Connect the receiver's cable to a serial port of the computer or through a USB serial "
    "adapter, choose its Com port under Serial Port and press Port Open.\n"
    "To try everything without hardware, start kelvane --demo: a receiver emulator answers "
    "on Com 1.";

inline constexpr const char* kErrorTitle = "Error";
inline constexpr const char* kFileErrorTitle = "File Error";
inline constexpr const char* kTransferErrorTitle = "Kelvane Error";
inline constexpr const char* kUploadTitle = "UpLoad";

// The question asked before an upload target is replaced.
std::string ReplaceQuestion(const std::string& path);

// Under "Upload Incomplete": how much of the announced image came, and where it is.
std::string UploadIncompleteText(const Outcome& outcome);

// The status line after a Temu exchange the receiver ended.
std::string TemuEndedText(std::int64_t served);

// Shows the boxes of an outcome, in order; none for the kinds that need no word (a file
// ready, a stop, the end of a Temu exchange). Its lineLost flag shows nothing: the frame
// shows PortUnavailable for it once the window is unlocked.
void ShowOutcome(MainView& view, const Outcome& outcome);

}  // namespace kelvane
