#pragma once
// The receiver's side of the three exchanges, one function per command, and `any`, which
// plays whichever of them the PC starts. Each runs on an open Line, prints nothing itself
// and returns what happened; main() prints the summary.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver/Line.h"

namespace kelvane::rx {

// What every command shares.
struct Common {
  std::chrono::seconds timeout{30};  // the PC silent this long ends the run with an error
  std::size_t noise = 0;             // junk bytes sent before the first frame
  Bytes noiseBytes;                  // the noise as given, in place of `noise` junk bytes
  bool split = false;                // each answer byte as a write of its own
  // The PC may leave an exchange at any point (Stop) and begin another: a silence of
  // `timeout`, a closed line or the first byte of another exchange ends this one as
  // stopped, not failed.
  bool resync = false;
};

// Gap between the writes of a split answer or of a request sent in pieces: long enough
// for the PC to read each piece on its own.
inline constexpr std::chrono::milliseconds kPieceGap{50};

// The summary of a run. ok false means the exchange did not end as expected; reason says
// why. stopped means the PC ended it part way: it is not complete.
struct Outcome {
  std::string exchange;  // "download", "upload" or "temu"
  bool ok = true;
  bool stopped = false;
  std::string reason;
  std::size_t blocks = 0;
  std::vector<std::string> notes;  // verdicts sent, stalls, resends, decoded time ...
};

// Runs one exchange that fills in an outcome; an exception ends it as a failure with its
// reason, keeping what the exchange had recorded until then.
template <typename Exchange>
Outcome Guarded(Exchange&& exchange) {
  Outcome out;
  try {
    exchange(out);
  } catch (const std::exception& e) {
    out.ok = false;
    out.reason = e.what();
  }
  return out;
}

// The program download seen from the receiver: ready, header, verdict, blocks, end,
// final verdict.
struct AcceptOptions {
  Common common;
  std::vector<std::uint8_t> ready{0x01};  // the announcement repeated until the PC answers
  std::vector<std::uint8_t> verdict{0x10};
  std::vector<std::uint8_t> final{0x17};  // the verdict when the data passes the checks
  // What a real receiver checks before its final verdict: a list container's byte sum
  // (always; 15 when it differs) and, when given, the image it should have been sent (16
  // when what came differs). An unordered difference also fails the run.
  std::optional<Bytes> expect;
  std::optional<std::size_t> corrupt;  // flip the low bit of this data byte as it comes
  std::chrono::milliseconds ackDelay{0};
  std::string savePath;
  std::optional<std::uint64_t> length;  // data bytes to keep in the saved file
  enum class Form { Detect, Plain, Prefixed } form = Form::Detect;
  bool join = false;  // last 10 and the final verdict in one write
  std::optional<std::chrono::milliseconds>
      resendFinal;                           // send the final verdict again after the 03
  std::size_t garbage = 0;                   // junk bytes in front of every answer
  std::optional<std::size_t> silentFrom;     // stop answering at this block (0: the header)
  std::optional<std::size_t> hangUpAfter;    // close the line after this many blocks
  std::optional<std::size_t> joinAt;         // this block's 10 with the final verdict, then silence
  int count = 1;                             // downloads to serve; 0 = forever
  std::function<void(const Outcome&)> each;  // told of every download as it ends
};
Outcome RunAccept(Line& line, const AcceptOptions& o);

// The upload seen from the receiver: it serves an image to the PC.
struct ServeOptions {
  Common common;
  Bytes image;          // the image file as it stands (a prefixed one sends its prefix too)
  int ignoreReady = 0;  // ready bytes to leave unanswered
  std::optional<std::uint32_t> announce;  // DataLength sent in the header
  std::optional<std::size_t> stallBlock;  // go silent inside this block (1-based), once
  std::chrono::seconds stallTime{7};
  std::optional<std::size_t> hangUpAfter;  // close the line after this many blocks
};
Outcome RunServe(Line& line, const ServeOptions& o);

// The Temu exchange, led by the receiver.
struct TemuOptions {
  Common common;
  // The file the PC serves, to check every reply against. Without it the receiver reads
  // until a reply holds filler only (at most kTemuUnknownLimit bytes).
  std::optional<Bytes> file;
  std::size_t chunk = 1024;                     // count of each read request
  bool pieces = false;                          // every request in several writes
  std::optional<std::chrono::seconds> maxSkew;  // fail when the PC's time is further off
};
Outcome RunTemu(Line& line, const TemuOptions& o);
inline constexpr std::size_t kTemuUnknownLimit = 1 << 20;

// Whichever exchange the PC starts, one after another. While idle the receiver offers the
// Temu start request 02 01 03, which a download also takes for ready (it holds 01). The PC
// answers with 08 for a download, 02 01 0A 03 for a Temu exchange, or sends 01 for an
// upload, which gets `image`. An exchange the PC leaves part way is reported as stopped.
struct AnyOptions {
  Common common;  // timeout: the silence after which the PC is taken to have stopped
  Bytes image;
  int count = 0;                             // exchanges to play; 0 = until ended
  std::function<void(const Outcome&)> each;  // told of every exchange as it ends
};
Outcome RunAny(Line& line, const AnyOptions& o);

// The calendar date of a Modified Julian Date (the inverse of the broadcast-table
// conversion, valid from 1 March 1900 to 28 February 2100).
struct CivilDate {
  int year, month, day;
};
CivilDate DateOfMjd(int mjd);

// A BCD byte as its two-digit value, or -1 when a nibble is not a decimal digit.
int FromBcd(std::uint8_t b);

}  // namespace kelvane::rx
