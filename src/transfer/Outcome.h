#pragma once
// What a transfer or a file choice came to. The logic reports it as data; the window turns
// it into its message boxes (ShowOutcome), the command-line front end into its exit status
// and its lines. No caller has to read a message text back.

#include <cstdint>
#include <string>
#include <utility>

namespace kelvane {

// The fields a receiver named when it refused a header; none when it only said "refused".
struct HeaderRefusal {
  bool hw = false;
  bool sw = false;
  bool model = false;
  bool Any() const { return hw || sw || model; }
};

// The receiver's verdict on a whole download, as its last chunk held it; several can come
// together.
struct Verdict {
  bool checksumError = false;
  bool verifyError = false;
  bool complete = false;
};

struct Outcome {
  enum class Kind {
    Nothing,  // no exchange ran (DownLoad with no TYPE, a line lost before the start)
    // File selection.
    Ready,            // the chosen file is ready for Start
    Cancelled,        // nothing usable chosen (chooser cancelled, mode changed meanwhile)
    ReplaceDeclined,  // an existing upload target was not to be replaced
    NoChannels,       // the SDX list at path holds no channel record: nothing to send
    // Exchanges.
    Complete,          // download: the receiver reported the image complete
    Rejected,          // download: checksum and/or verify error (verdict says which)
    HeaderRefused,     // download: header refused (refusal says why, if the receiver did)
    UploadCompleted,   // upload: the receiver's end marker came after all the data announced
    UploadIncomplete,  // upload: the end marker came early: done data bytes of the total
                       // the header announced are in the file
    TemuEnded,         // Temu: the receiver ended the exchange
    Stopped,           // ended by Stop, a close or a lost line before any result
    // Either.
    InvalidFile,      // the file is not a program image (or too short to hold its header)
    FileError,        // a file operation failed: path and the system's description
    PortUnavailable,  // the port cannot be opened or was lost
  };

  Kind kind = Kind::Nothing;
  HeaderRefusal refusal;    // HeaderRefused
  Verdict verdict;          // Complete, Rejected
  std::string path;         // FileError, InvalidFile, NoChannels
  std::string systemError;  // FileError, PortUnavailable: the system's description
  std::int64_t done = 0;    // a transfer: bytes of its file moved when it ended ...
  std::int64_t total = 0;   // ... of this many in all (as the last progress showed)
  bool lineLost = false;    // a transfer: the line failed under it (after what kind says)
  std::int64_t served = 0;  // TemuEnded, Stopped Temu: the receiver's requests answered

  static Outcome Of(Kind k) {
    Outcome o;
    o.kind = k;
    return o;
  }
  static Outcome FileFailure(std::string path, std::string systemError) {
    Outcome o = Of(Kind::FileError);
    o.path = std::move(path);
    o.systemError = std::move(systemError);
    return o;
  }
  static Outcome NoChannels(std::string path) {
    Outcome o = Of(Kind::NoChannels);
    o.path = std::move(path);
    return o;
  }
  static Outcome Invalid(std::string path) {
    Outcome o = Of(Kind::InvalidFile);
    o.path = std::move(path);
    return o;
  }
};

}  // namespace kelvane
