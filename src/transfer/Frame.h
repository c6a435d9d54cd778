#pragma once
// The frame every transfer runs in: Start locks the window and records the choice, the
// exchange picked by MODE and TYPE runs as a poll loop, and the window is unlocked again
// however the exchange ended. Also the size text and the progress bar the exchanges share.

#include <cstdint>
#include <string>

#include "files/FileTable.h"

namespace kelvane {

class Main;

// Locks the window (only Stop stays usable), clears StopFlag and writes "Mode", "Type" and
// "FileName".
void BeginTransfer(Main& main);

// Closes the transfer file (FileNum back to 0) and unlocks the window: Start, Browse, File
// and the port button enabled, Stop disabled, the size text and the bar cleared.
void EndTransfer(Main& main);

// done ÷ 1000 "k/" total ÷ 1000 "K", kilo = 1000: 2048 of 2097152 is "2k/2097K".
std::string SizeText(std::int64_t done, std::int64_t total);

// done × 95 ÷ total, never above 95; a total of 0 gives 95.
float ProgressValue(std::int64_t done, std::int64_t total);

// Info shows SizeText(sizeDone, total), the bar ProgressValue(barDone, total).
void ShowProgress(Main& main, std::int64_t sizeDone, std::int64_t barDone, std::int64_t total);

// The test every exchange loop makes where it tests StopFlag: true when Stop was pressed,
// a close was asked for, or the line has failed for good (the last also sets StopFlag, so
// the exchange leaves through its ordinary Stop path and the frame reports the line).
bool Stopping(Main& main);

// Opens XferPath as the transfer file: under FileNum when that is set and not in use,
// otherwise under the lowest free number, and sets FileNum to the number used. Any error
// pending before is cleared first. On failure the system's description of the open's
// error is shown and FileNum is 0.
bool OpenTransferFile(Main& main, OpenMode mode);

// Closes the transfer file if it is open; FileNum becomes 0 (no transfer file).
void CloseTransferFile(Main& main);

// Shows the system's description of the pending file error (exclamation, OK, the
// application's title).
void ShowFileError(Main& main);

}  // namespace kelvane
