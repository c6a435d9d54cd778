#pragma once
// Exit statuses of kelvane-cli and how the messages of the window map onto them.

#include <string>

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

struct MessageMeaning {
  int status;    // exit status the message stands for
  bool error;    // also reported on standard error
  bool success;  // the message completes the command
};

// The meaning of a message-box text. Texts not in the table (the system's description of
// a file error, for instance) count as file errors when the box is an error box.
MessageMeaning MeaningOf(const std::string& text, bool errorIcon);

// Collects what happened during one run and decides the exit status.
class Outcome {
 public:
  void Message(const std::string& text, bool errorIcon);
  void Fail(int status);       // a failure the front end found itself
  void MarkStopped() { stopped_ = true; }
  void MarkTimedOut() { timedOut_ = true; }

  bool Stopped() const { return stopped_; }
  bool Failed() const { return failure_ != kDone; }
  bool SawSuccess() const { return success_; }
  int Failure() const { return failure_; }

  // The exit status: a signal first, then silence, then the first failure reported;
  // kDone otherwise.
  int Status() const;

 private:
  int failure_ = kDone;
  bool success_ = false;
  bool stopped_ = false, timedOut_ = false;
};

}  // namespace kelvane::cli
