#include "cli/ExitStatus.h"

namespace kelvane::cli {

std::string FileErrorLine(const Outcome& o) {
  if (o.kind != Outcome::Kind::FileError) return {};
  const std::string reason = o.systemError.empty() ? "cannot be used" : o.systemError;
  if (o.path.empty() || reason.rfind(o.path, 0) == 0) return reason;
  return o.path + ": " + reason;
}

int ReportedFailure(const Outcome& o) {
  using Kind = Outcome::Kind;
  switch (o.kind) {
    case Kind::FileError:
    case Kind::InvalidFile: return kFileError;
    case Kind::HeaderRefused:
      // A refusal without a reason shows no box.
      if (o.refusal.Any()) return kHeaderRefused;
      break;
    case Kind::Rejected: return kDataRejected;
    case Kind::PortUnavailable: return kPortUnavailable;
    default: break;
  }
  return o.lineLost ? kPortUnavailable : kDone;
}

Report TransferReport(Command command, const Outcome& o) {
  using Kind = Outcome::Kind;
  if (const int failure = ReportedFailure(o); failure != kDone) return {failure, FileErrorLine(o)};
  switch (command) {
    case Command::Download:
    case Command::DownloadSdx:
      if (o.kind == Kind::Complete) return {};
      if (o.kind == Kind::HeaderRefused)
        return {kHeaderRefused, "the receiver refused the header without giving a reason"};
      return {kDataRejected, "the transfer ended without the receiver's verdict"};
    case Command::Upload:
      if (o.kind == Kind::UploadCompleted) return {};
      if (o.kind == Kind::UploadIncomplete)
        return {kDataRejected, "the upload ended after " + std::to_string(o.done) + " of the " +
                                   std::to_string(o.total) + " data bytes its header announced"};
      return {kDataRejected, "the upload ended before the receiver's end marker"};
    default: return {};  // the receiver's end request
  }
}

Report SelectionReport(const Outcome& o, const std::string& path) {
  switch (o.kind) {
    case Outcome::Kind::Ready: return {};
    case Outcome::Kind::FileError: return {kFileError, FileErrorLine(o)};
    case Outcome::Kind::InvalidFile:
    case Outcome::Kind::NoChannels: return {kFileError, ""};  // the box said why
    case Outcome::Kind::ReplaceDeclined: return {kFileError, path + " exists; --force replaces it"};
    default: return {kFileError, path + " cannot be used"};
  }
}

}  // namespace kelvane::cli
