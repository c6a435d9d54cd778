#include "transfer/Transfer.h"

#include "serial/EchoWatch.h"
#include "transfer/Exchange.h"
#include "transfer/ProgramDownload.h"
#include "transfer/TemuDownload.h"
#include "transfer/Upload.h"

namespace kelvane {

namespace {

// Bytes taken in one OnReadable at most, so that a line that never falls silent cannot keep
// the caller from its other work; the rest is read at the next call or tick.
constexpr std::size_t kBytesPerCall = std::size_t{1} << 20;

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
  for (std::size_t taken = 0; taken < kBytesPerCall && !exchange_->Done();) {
    const Bytes got = port_.Input();
    if (got.empty()) break;
    taken += got.size();
    Line(line_).echo.Received(got);
    exchange_->Feed(got, clock_.Now());
  }
  CheckLine();
  if (!done_ && exchange_->Done()) Finish(exchange_->Result());
}

void Transfer::OnTick() {
  if (!begun_ || done_) return;
  // A tick acts on silence: what waits is taken first.
  OnReadable();
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
