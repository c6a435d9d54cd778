#include "transfer/ProgramDownload.h"
#include "transfer/TemuDownload.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

// An image of dataLength bytes after its header; a prefixed one carries a length prefix
// that makes the file exactly 128 bytes longer than its value.
Bytes Image(std::size_t dataLength, bool prefixed = false) {
  const Bytes header =
      ImageHeaderBytes({0, 1}, {0, 0, 1, 5}, {0, 0, 2, 0x10}, {0x12, 5}, std::string(32, 'h'));
  const std::uint32_t l = static_cast<std::uint32_t>(4 + 64 + dataLength - 128);
  return Concat(
      {prefixed ? B({int(l >> 24), int(l >> 16 & 255), int(l >> 8 & 255), int(l & 255)}) : Bytes{},
       header, Pattern(dataLength, 11)});
}

struct Download : Rig {
  Bytes file;
  std::size_t headerSize;
  explicit Download(const Bytes& image = Image(10), bool prefixed = false,
                    Control type = Control::ProgramDot)
      : file(image), headerSize(prefixed ? 68 : 64) {
    WriteFile("image.bin", file), Choose(Control::DownDot, type, "image.bin");
  }
  Bytes Slice(std::size_t from, std::size_t n) const {
    return Bytes(file.begin() + long(from), file.begin() + long(from + n));
  }
  void EndTemuAndStart() {  // the receiver ends the exchange; nothing is reported
    rx.Send({0x02, 0x0A, 0x03}), Start(), ExpectUnlocked();
    EXPECT_TRUE(view.messages.empty());
  }
  Bytes Header() const {
    return Concat({B({0x08}), Bytes(file.begin(), file.begin() + long(headerSize))});
  }
  std::size_t Blocks() const { return (file.size() - headerSize) / 1024 + 1; }
  // 02 00 FF, the 1024 bytes of block k (FF behind the file's end), 00 FF.
  Bytes Block(std::size_t k) const {
    Bytes data(1024, 0xFF);
    const std::size_t from = headerSize + 1024 * k;
    for (std::size_t i = 0; i < 1024 && from + i < file.size(); ++i) data[i] = file[from + i];
    return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})});
  }
  // Ready amid other bytes, header accepted, the first blocks acknowledged (all by default).
  void Script(std::size_t acked = ~std::size_t{0}) {
    rx.Send({0x55, 0x01, 0x66}).Expect(Header()).Send({0x10});
    for (std::size_t k = 0; k < std::min(acked, Blocks()); ++k) rx.Expect(Block(k)).Send({0x10});
    if (acked >= Blocks()) rx.Expect({0x03});
  }
};

TEST(Download, SendsHeaderThenEveryBlockInFourWritesAndTheEnd) {
  const std::tuple<std::size_t, bool, Control> cases[] = {
      {0, false, Control::ProgramDot},    {1, false, Control::ProgramDot},
      {1024, false, Control::ProgramDot}, {2049, false, Control::ProgramDot},
      {60, true, Control::ProgramDot},    {2049, true, Control::ProgramDot},
      {100, false, Control::SDXDot}};
  for (const auto& [dataLength, prefixed, type] : cases) {
    SCOPED_TRACE(std::to_string(dataLength) + (prefixed ? " prefixed" : ""));
    Download d(Image(dataLength, prefixed), prefixed, type);
    d.Script();
    d.rx.Send({0x17});
    d.Start();
    std::vector<std::size_t> want{1, d.headerSize},
        got;  // 08, the header, 02, 00 FF, the data, 00 FF, ..., 03
    for (std::size_t k = 0; k <= dataLength / 1024; ++k) want.insert(want.end(), {1, 2, 1024, 2});
    want.push_back(1);
    for (const auto& w : d.serial.writes) got.push_back(w.size());
    EXPECT_EQ(got, want);
    d.ExpectOnlyMessage("Kelvane Complete", "Kelvane", Icon::Information);
    ASSERT_EQ(d.view.progressHistory.size(), d.Blocks() + 1);  // one per block, then 0 at the end
    EXPECT_FLOAT_EQ(d.view.progressHistory[d.Blocks() - 1], 95.0f);
    d.ExpectUnlocked();
  }
}

TEST(Download, HeaderVerdictsAreShownInOrderAndNoDataFollowsARefusal) {
  const std::vector<std::pair<Bytes, std::vector<std::string>>> cases = {
      {B({0x10, 0x12}), {"Kelvane Complete"}},
      {B({0x11}), {}},
      {B({0x12}), {"HW version is not matched"}},
      {B({0x13}), {"SW version is lower"}},
      {B({0x12, 0x14}), {"HW version is not matched", "Model ID is not matched"}},
      {B({0x14, 0x13, 0x12}),
       {"HW version is not matched", "SW version is lower", "Model ID is not matched"}}};
  for (const auto& [verdict, texts] : cases) {
    SCOPED_TRACE(Hex(verdict));
    Download d;
    const bool accepted = verdict[0] == 0x10;
    d.rx.Send({0x01}).Expect(d.Header()).Send(verdict);
    if (accepted) d.rx.Expect(d.Block(0)).Send({0x10}).Expect({0x03}).Send({0x17});
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), texts);
    for (const auto& m : d.view.messages) {
      if (accepted) continue;
      EXPECT_EQ(m.title, "File Error");
      EXPECT_EQ(m.icon, Icon::Critical);
    }
    EXPECT_EQ(d.main.StopFlag, !accepted);
    EXPECT_EQ(d.main.LastTransfer().kind,
              accepted ? Outcome::Kind::Complete : Outcome::Kind::HeaderRefused);
    d.ExpectUnlocked();
  }
}

TEST(Download, FinalVerdictsAreShownInOrderFromAFreshReadOnly) {
  for (const auto& [verdict, texts] : std::vector<std::pair<Bytes, std::vector<std::string>>>{
           {B({0x16, 0x15}), {"CheckSUM Error", "Verify Error"}},
           {B({0x15}), {"CheckSUM Error"}},
           {B({0x33, 0x17}), {"Kelvane Complete"}}}) {
    Download d;
    d.Script();
    d.rx.Send(verdict);
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), texts) << Hex(verdict);
    if (texts.size() > 1) {
      EXPECT_EQ(d.view.messages[0].title, "Kelvane Error");
    }
    const bool rejected = texts[0] != "Kelvane Complete";
    EXPECT_EQ(d.main.LastTransfer().kind,
              rejected ? Outcome::Kind::Rejected : Outcome::Kind::Complete)
        << Hex(verdict);
  }
  // A 17 in the same read as the last block's 10 is not seen; Stop ends the final wait and
  // the verdict is read from the last chunk that came, which said complete.
  for (bool stop : {false, true}) {
    Download d;
    d.rx.Send({0x01})
        .Expect(d.Header())
        .Send({0x10})
        .Expect(d.Block(0))
        .Send({0x10, 0x17})
        .Expect({0x03})
        .Idle(50);
    d.rx.Do([&] { EXPECT_TRUE(d.view.messages.empty()); });
    stop ? d.rx.Stop() : d.rx.Send({0x17});
    d.Start();
    EXPECT_EQ(d.view.MessageTexts(), std::vector<std::string>{"Kelvane Complete"});
  }
}

TEST(Download, StopInEveryWaitStillSendsTheEndOfData) {
  // -1: waiting for ready, 0: for the header's verdict, n: for the ack of block n, 4: final wait.
  for (int phase : {-1, 0, 1, 2, 4}) {
    SCOPED_TRACE(phase);
    Download d(Image(3000));
    if (phase == 0) d.rx.Send({0x01}).Expect(d.Header());
    if (phase > 0) d.Script(std::size_t(phase) - 1);
    if (phase > 0 && phase < 4) d.rx.Expect(d.Block(std::size_t(phase) - 1));
    d.rx.Idle(5).Stop();
    if (phase < 4) d.rx.Expect({0x03});
    d.Start();
    EXPECT_TRUE(d.view.messages.empty());
    EXPECT_EQ(d.main.LastTransfer().kind, Outcome::Kind::Stopped);
    d.ExpectUnlocked();
  }
}

// The view is told while the receiver has not spoken yet, and how far a stopped one got.
TEST(Download, TheViewHearsOfTheWaitForTheReceiverAndOfAStop) {
  using Since = std::optional<std::chrono::steady_clock::time_point>;
  const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::seconds(5);
  const struct {
    const char* name;
    Control type;
    std::function<void(Download&)> script;
    std::vector<Since> waiting;
    std::vector<std::pair<std::int64_t, std::int64_t>> stopped;
  } cases[] = {
      {.name = "ready came",
       .type = Control::ProgramDot,
       .script = [](Download& d) { d.rx.Idle(3), d.Script(), d.rx.Send({0x17}); },
       .waiting = {t0, std::nullopt},
       .stopped = {}},
      {.name = "stopped waiting for ready",
       .type = Control::ProgramDot,
       .script = [](Download& d) { d.rx.Idle(3).Stop().Expect({0x03}); },
       .waiting = {t0},
       .stopped = {{0, 0}}},
      {.name = "stopped in the data",
       .type = Control::ProgramDot,
       .script =
           [](Download& d) { d.Script(1), d.rx.Expect(d.Block(1)).Idle(3).Stop().Expect({0x03}); },
       .waiting = {t0, std::nullopt},
       .stopped = {{64 + 2048, 3064}}},
      {.name = "temu request came",
       .type = Control::TemuDot,
       .script =
           [](Download& d) {
             d.rx.Idle(3).Send({0x02, 0x0A, 0x03});
           },
       .waiting = {t0, std::nullopt},
       .stopped = {}},
      {.name = "temu stopped waiting",
       .type = Control::TemuDot,
       .script = [](Download& d) { d.rx.Idle(3).Stop(); },
       .waiting = {t0},
       .stopped = {{0, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Download d(Image(3000), false, c.type);
    d.clock.now = t0;
    c.script(d);
    d.Start();
    d.view.ExpectWaitsAndStop(c.waiting, c.stopped);
  }
}

TEST(Download, MissingOrShortFileIsReportedBeforeAnythingIsSent) {
  Bytes image = Image(0);
  image.resize(63);
  Download m(image);
  m.Start();
  m.ExpectOnlyMessage("Invalid File format", "File Error", Icon::Critical);
  m.main.XferPath = "absent.bin", m.view.messages.clear();
  m.Start();
  m.ExpectOnlyMessage("No such file or directory", "", Icon::Exclamation);
  EXPECT_FALSE(fs::exists("absent.bin")) << "a download never creates its file";
  EXPECT_EQ(ReadFile("image.bin").size(), 63u);
}

// A read error is never taken for the end of the file: the download does not fill the block
// up and claim completion (whatever the receiver answers to the end of data), it ends with
// the system's reason, and an error before the header is sent sends nothing at all.
TEST(Download, ReadErrorEndsTheTransferWithTheSystemsReason) {
  struct Case {
    const char* name;
    std::size_t after;   // bytes of the file that read well
    std::size_t blocks;  // blocks sent and acknowledged before the failing one
  };
  for (const Case& c : {Case{"in the first bytes", 0, 0}, Case{"in the header", 30, 0},
                        Case{"in the data", 1098, 1}}) {
    SCOPED_TRACE(c.name);
    Download d(Image(4000));  // 4064 bytes
    d.files.readFault["image.bin"] = {c.after, EIO};
    if (c.after >= 64) {
      d.rx.Send({0x01}).Expect(d.Header()).Send({0x10});
      for (std::size_t k = 0; k < c.blocks; ++k) d.rx.Expect(d.Block(k)).Send({0x10});
      d.rx.Expect({0x03}).Send(
          {0x17});  // the end of data, as after Stop; its verdict is not the image's
    }
    d.Start();
    d.ExpectOnlyMessage(std::strerror(EIO), "", Icon::Exclamation);
    EXPECT_EQ(d.main.LastTransfer().kind, Outcome::Kind::FileError);
    EXPECT_EQ(d.main.LastTransfer().path, "image.bin");
    d.ExpectUnlocked();
  }
}

// Temu: the receiver asks, the PC answers.
const Bytes kStart = B({0x02, 0x01, 0x03}), kStartReply = B({0x02, 0x01, 0x0A, 0x03});

Bytes ReadRequest(std::uint32_t count, std::uint32_t offset) {
  return B({0x02, 0x02, int(count & 255), int(count >> 8), int(offset & 255),
            int(offset >> 8 & 255), int(offset >> 16 & 255), int(offset >> 24), 0x03});
}

TEST(Temu, StartAndTimeRequestsWholeOrInPiecesGetTheirRepliesInPieces) {
  for (const std::vector<std::size_t>& reads : {std::vector<std::size_t>{3}, {1, 2}, {1, 1, 1}}) {
    Download t(Pattern(10, 1), false, Control::TemuDot);
    t.rx.Send(kStart, reads).Expect(kStartReply);
    t.rx.Send({0x02, 0x03, 0x03}, reads)
        .Expect({0x02, 0x03, 0xC0, 0x79, 0x12, 0x45, 0x00, 0x03});  // 1993-10-13 12:45:00
    t.EndTemuAndStart();
    EXPECT_EQ(t.serial.writes,
              (std::vector<Bytes>{B({2}), B({1}), B({0x0A}), B({3}), B({2}), B({3}),
                                  B({0xC0, 0x79}), B({0x12}), B({0x45}), B({0}), B({3})}));
  }
}

TEST(Temu, ReadRepliesAreFileBytesThenFillerInSeparateWrites) {
  struct Case {
    std::size_t fileSize, count, offset, fileBytes,
        filler;  // fileBytes from the file from offset on, then FF
  };
  for (const Case& c : {Case{10, 16, 0, 10, 6}, Case{10, 16, 9, 1, 15}, Case{10, 4, 10, 0, 4},
                        Case{10, 10, 0, 10, 0}, Case{10, 0, 0, 0, 0}, Case{0, 3, 0, 0, 3},
                        Case{10, 2, 0x80000000u, 0, 2}, Case{10, 2, 0xFFFFFFFFu, 0, 2},
                        Case{70000, 65535, 100, 65535, 0}}) {
    SCOPED_TRACE(std::to_string(c.count) + " at " + std::to_string(c.offset));
    Download t(Pattern(c.fileSize, 2), false, Control::TemuDot);
    std::vector<Bytes> pieces{B({0x02, 0x02})};
    if (c.fileBytes) pieces.push_back(t.Slice(c.offset, c.fileBytes));
    if (c.filler) pieces.push_back(Bytes(c.filler, 0xFF));
    pieces.push_back(B({0x03}));
    Bytes reply;
    for (const auto& p : pieces) reply = Concat({reply, p});
    t.rx.Send(ReadRequest(std::uint32_t(c.count), std::uint32_t(c.offset)), {1, 4, 4})
        .Expect(reply);  // the lone 02 first
    t.EndTemuAndStart();
    EXPECT_EQ(t.serial.writes, pieces);
  }
  Download t(Pattern(64, 3), false,
             Control::TemuDot);  // after a served read, a request in pieces again
  t.rx.Send(ReadRequest(4, 0))
      .Expect(Concat({B({2, 2}), t.Slice(0, 4), B({3})}))
      .Send(ReadRequest(8, 16), {1, 4, 4});
  t.rx.Expect(Concat({B({2, 2}), t.Slice(16, 8), B({3})}));
  t.EndTemuAndStart();
}

// A read request the file fails to serve ends the exchange with the system's reason; no reply
// of filler bytes goes out in place of the file's.
TEST(Temu, ReadErrorEndsTheExchangeWithTheSystemsReason) {
  Download t(Pattern(3000, 2), false, Control::TemuDot);
  t.files.readFault["image.bin"] = {1500, EIO};
  t.rx.Send(ReadRequest(1024, 0)).Expect(Concat({B({2, 2}), t.Slice(0, 1024), B({3})}));
  t.rx.Send(ReadRequest(1024, 1024));
  t.Start();
  t.ExpectOnlyMessage(std::strerror(EIO), "", Icon::Exclamation);
  EXPECT_EQ(t.main.LastTransfer().kind, Outcome::Kind::FileError);
  t.ExpectUnlocked();
}

TEST(Temu, BytesOutsideRequestsAndOverlongOrUnknownRequestsAreDropped) {
  Download t(Pattern(10, 1), false, Control::TemuDot);
  t.serial.Deliver(kStart);  // pending before the start: dropped
  // In front of a request's 02; between requests with no 02; behind a complete request.
  t.rx.Idle(3)
      .Send({0x55, 0x02, 0x01, 0x03})
      .Expect(kStartReply)
      .Send({0x01, 0x03})
      .AwaitRead()
      .Idle(3);
  t.rx.Send({0x02, 0x01, 0x03, 0x02, 0x0A, 0x03}).Expect(kStartReply).AwaitRead().Idle(3);
  // A start request whose 03 never comes, then far more than the buffer holds.
  t.rx.Send({0x02, 0x01, 0x05}).AwaitRead().Send(Bytes(200, 0x44)).AwaitRead().Idle(3);
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(150, 0x20)})).AwaitRead().Idle(3);
  // Exactly filling the buffer, then one byte more.
  t.rx.Send(Concat({B({0x02, 0x02}), Bytes(99, 0x20)}))
      .AwaitRead()
      .Send({0x03})
      .AwaitRead()
      .Idle(3);
  // An unknown code is kept until its 03 stands at both places where requests end.
  t.rx.Send({0x02, 0x07, 0x03})
      .AwaitRead()
      .Send({0x11, 0x11, 0x11, 0x11, 0x11, 0x03})
      .AwaitRead()
      .Idle(3);
  t.rx.Send(kStart).Expect(kStartReply);
  t.EndTemuAndStart();
  EXPECT_EQ(t.serial.inDrops, 1);
  EXPECT_EQ(t.serial.outDrops, 4) << "once at the start and once before each reply";
}

TEST(Temu, EndInThreeChunksOrStopEndsItWritingNothing) {
  for (int way : {0, 1, 2}) {
    SCOPED_TRACE(way);
    Download t(Pattern(10, 1), false, Control::TemuDot);
    if (way == 0) t.rx.Send({0x02}).AwaitRead().Send({0x0A}).AwaitRead().Idle(3).Send({0x03});
    if (way == 1) t.rx.Send({0x02, 0x02, 0x10}).AwaitRead();
    if (way != 0) t.rx.Idle(5).Stop();
    t.Start();
    EXPECT_TRUE(t.serial.written.empty());
    EXPECT_TRUE(t.view.messages.empty());
    EXPECT_EQ(t.serial.inputLenHistory, std::vector<int>{0});
    t.ExpectUnlocked();
  }
}

}  // namespace
}  // namespace kelvane::test
