#pragma once
// Exit statuses of kelvane-cli, and the status and the explaining line of each outcome the
// window's logic reports.

#include <string>

#include "cli/CliOptions.h"
#include "transfer/Outcome.h"

namespace kelvane::cli {

enum ExitStatus : int {
  kDone = 0,
  kUsage = 1,
  kPortUnavailable = 2,
  kFileError = 3,
  kHeaderRefused = 4,
  kDataRejected = 5,  // checksum or verify error
  kStopped = 6,       // stopped by a signal
  kTimedOut = 7,
};

// An exit status with the line that explains a failure no message box has explained
// (empty when the boxes said it, or on success).
struct Report {
  int status = kDone;
  std::string error;
};

// "path: reason" for a file error (the reason alone when it names the path already); "" for
// the other outcomes.
std::string FileErrorLine(const Outcome& o);

// The failure a transfer's boxes reported, in the order they came: the exchange's own,
// then a lost line. kDone when no box reported a failure.
int ReportedFailure(const Outcome& transfer);

// A transfer of the command that ran to this outcome, neither stopped by a signal nor
// timed out. The boxes' failure first; then success, or what the exchange ended without.
Report TransferReport(Command command, const Outcome& transfer);

// A file choice for path (Browse on the console): kDone when the file is ready.
Report SelectionReport(const Outcome& selection, const std::string& path);

}  // namespace kelvane::cli
