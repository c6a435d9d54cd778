#pragma once
// One run of kelvane-cli: the window's logic (Main) on the console view, the real serial
// object, the disk files and the window's settings seen through a write-free overlay.

#include "cli/CliOptions.h"

namespace kelvane::cli {

// Runs the command and returns the exit status. Needs a QCoreApplication.
int RunCommand(const Options& options);

}  // namespace kelvane::cli
