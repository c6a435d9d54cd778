#include "transfer/Transfer.h"

#include <algorithm>
#include <utility>

#include "serial/EchoWatch.h"
#include "transfer/Exchange.h"
#include "transfer/ProgramDownload.h"
#include "transfer/Protocol.h"
#include "transfer/TemuDownload.h"
#include "transfer/Upload.h"

namespace kelvane {

namespace {

// Bytes taken in one OnReadable at most, so that a line that never falls silent cannot keep
// the caller from its other work; the rest is read at the next call or tick.
constexpr std::size_t kBytesPerCall = std::size_t{1} << 20;

// A deferred read comes this long before the rest of the block is due at the line's pace,
// so that what is late on the PC's side is not added to the block. A deferral shorter
// than kShortestDeferral is not worth its wake-up.
constexpr auto kReadEarly = std::chrono::microseconds(300);
constexpr auto kShortestDeferral = std::chrono::milliseconds(2);
constexpr int kBlocksBetweenTimings = 16;
// Windows wakes a wait only at its timer's ticks (15.6 ms), too coarse to wait for the rest
// of a block: there every read is made as bytes come.
#ifdef _WIN32
constexpr bool kPreciseWaits = false;
#else
constexpr bool kPreciseWaits = true;
#endif

// How long n bytes take on the line at the most it carries.
std::chrono::steady_clock::duration LineTime(std::size_t n) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(static_cast<double>(n) / wire::kLineBytesPerSecond));
}

// The port as the exchange writes to it, with the watch for a line that echoes.
class PortLine final : public TransferLine {
 public:
  explicit PortLine(SerialPort& port) : port_(port) {}
  void Send(std::span<const std::uint8_t> bytes) override {
    echo.Sent(bytes);
    port_.Output(bytes);
  }
  void DropUnsent() override { port_.SetOutBufferCount(0); }
  EchoWatch echo;

 private:
  SerialPort& port_;
};

PortLine& Line(const std::unique_ptr<TransferLine>& line) { return static_cast<PortLine&>(*line); }

std::unique_ptr<Exchange> MakeExchange(ExchangeKind kind, ExchangeContext c) {
  switch (kind) {
    case ExchangeKind::TemuDownload: return std::make_unique<TemuDownload>(std::move(c));
    case ExchangeKind::Upload: return std::make_unique<Upload>(std::move(c));
    case ExchangeKind::ProgramDownload: break;
  }
  return std::make_unique<ProgramDownload>(std::move(c));
}

}  // namespace

Transfer::Transfer(SerialPort& port, FileTable& files, Clock& clock, TransferEvents& events,
                   TransferSetup setup)
    : port_(port),
      files_(files),
      clock_(clock),
      events_(events),
      setup_(std::move(setup)),
      line_(std::make_unique<PortLine>(port)) {
  exchange_ =
      MakeExchange(setup_.kind, ExchangeContext{*line_, files_, clock_, events_, setup_.path,
                                                setup_.fileNum, setup_.ackPause});
}

Transfer::~Transfer() = default;

void Transfer::Begin() {
  if (begun_) return;
  begun_ = true;
  if (port_.Lost()) return Finish(Outcome::Of(Outcome::Kind::Nothing));
  // Every read takes all that waits. The upload begins on an empty line (what waits is from
  // before); the Temu download also drops what was not sent yet.
  if (setup_.kind == ExchangeKind::Upload) {
    (void)port_.Input();
    port_.SetInBufferCount(0);
    Line(line_).echo.Reset();
  } else if (setup_.kind == ExchangeKind::TemuDownload) {
    port_.SetInBufferCount(0);
    port_.SetOutBufferCount(0);
  }
  port_.SetInputLen(0);
  exchange_->Begin(clock_.Now());
  if (exchange_->Done()) Finish(exchange_->Result());
}

void Transfer::OnReadable() {
  if (!begun_ || done_) return;
  const std::optional<TimePoint> came = std::exchange(bytesCame_, std::nullopt);
  std::optional<TimePoint> readAt;
  for (std::size_t taken = 0; taken < kBytesPerCall && !exchange_->Done();) {
    const Bytes got = port_.Input();
    if (got.empty()) break;
    taken += got.size();
    Line(line_).echo.Received(got);
    readAt = clock_.Now();
    exchange_->Feed(got, *readAt);
  }
  // A line that gave bytes was there; a hang-up is looked for when it gives none.
  if (!readAt) CheckLine();
  if (!done_ && exchange_->Done()) Finish(exchange_->Result());
  PlanRead(readAt, readAt ? came : std::nullopt);
}

void Transfer::PlanRead(std::optional<TimePoint> readAt, std::optional<TimePoint> came) {
  // A block whose bytes come in pieces spread over its time on the line (a paced line, a
  // UART, an adapter's packets) is read in two: its first piece, then the rest when it is
  // due. It is due as long after the first piece as the last block took from its first
  // piece to its last, and never later than the line's rate allows for the rest. Only a
  // block whose last piece was read as it came times the next ones: one read late on
  // purpose would make them later still. A line that gives whole blocks, or their pieces
  // within a few milliseconds, is read as bytes come. A front end that notes when bytes
  // come without reading them is offered the same wait before the first piece is read
  // (ReadAfterBytes); `came` is when the bytes of this read began to come.
  const bool deferred = readDue_.has_value();
  readDue_.reset();
  readAfterBytes_.reset();
  const std::size_t awaiting = done_ ? 0 : exchange_->Awaiting();
  // Every so many blocks one is read as it comes, so that a line that has become quicker
  // (a block once slowed by a pause) does not keep being read late.
  const auto timed = [this] {
    return kPreciseWaits && blockTime_.has_value() && blocksUntimed_ < kBlocksBetweenTimings;
  };
  if (awaiting == 0) {
    if (blockAwaiting_ > 0 && readAt) {
      blockLater_ += blockAwaiting_;
      // What came after a first read made late does not tell the rest of a block.
      if (!blockCame_) blockRest_ = blockLater_;
      if (!deferred) blockTime_ = *readAt - blockFirstRead_;
      blocksUntimed_ = deferred ? blocksUntimed_ + 1 : 0;
    } else if (came) {
      ++blocksUntimed_;  // a block (or the end) read whole, late on purpose
    }
    blockAwaiting_ = 0;
    // The end marker, read that late, would be answered late.
    if (done_ || !timed() || blockRest_ == 0 || !exchange_->BlockNext()) return;
    const auto after = std::min(*blockTime_, LineTime(blockRest_)) - kReadEarly;
    if (after >= kShortestDeferral) readAfterBytes_ = after;
    return;
  }
  if (!readAt) readAt = clock_.Now();
  if (blockAwaiting_ == 0 || awaiting > blockAwaiting_) {
    blockFirstRead_ = came.value_or(*readAt);
    blockCame_ = came.has_value();
    blockLater_ = 0;
  } else {
    blockLater_ += blockAwaiting_ - awaiting;
  }
  blockAwaiting_ = awaiting;
  if (!timed()) return;
  const auto due =
      blockFirstRead_ + std::min(*blockTime_, LineTime(blockLater_ + awaiting)) - kReadEarly;
  if (due - *readAt >= kShortestDeferral) readDue_ = due;
}

void Transfer::OnTick() {
  if (!begun_ || done_) return;
  // A tick acts on silence: what waits is taken first.
  OnReadable();
  CheckLine();
  if (done_) return;
  exchange_->Tick(clock_.Now());
  if (!echoTold_ && Line(line_).echo.Echoing()) {
    echoTold_ = true;
    events_.LineEchoes();
  }
  if (exchange_->Done()) Finish(exchange_->Result());
}

void Transfer::Stop() {
  if (done_) return;
  if (!begun_) {
    begun_ = true;
    return Finish(Outcome::Of(Outcome::Kind::Stopped));
  }
  exchange_->Stop(clock_.Now());
  Finish(exchange_->Result());
}

void Transfer::CheckLine() {
  if (done_ || exchange_->Done() || !port_.Lost()) return;
  events_.LineLost(port_.LastError());
  exchange_->Stop(clock_.Now());
}

void Transfer::Finish(Outcome o) {
  if (done_) return;
  done_ = true;
  result_ = std::move(o);
  result_.lineLost = port_.Lost();
  events_.Ended(result_);
}

bool Transfer::Done() const { return done_; }

const Outcome& Transfer::Result() const { return result_; }

int Transfer::FileNumber() const { return exchange_->File(); }

bool Transfer::Echoing() const { return Line(line_).echo.Echoing(); }

}  // namespace kelvane
