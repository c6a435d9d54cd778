// The exchanges as transcripts: what the receiver says, turn by turn, what the PC writes
// after each turn and how the exchange ends. Every transcript is played with each turn in
// one read, byte by byte and split in two at every position: the bytes and the outcome
// stay the same.

#include <gtest/gtest.h>

#include "support/Rig.h"
#include "transfer/TemuDownload.h"
#include "transfer/Transfer.h"
#include "transfer/Upload.h"

namespace kelvane::test {
namespace {

using K = Outcome::Kind;

struct Heard : TransferEvents {
  void WaitingForReceiver(std::optional<TimePoint> since) override { waits.push_back(since); }
  void UploadHeader(const UploadHeaderTexts& t) override { headers.push_back(t); }
  void Progress(const ProgressReport& r) override { progress.push_back(r); }
  void LineEchoes() override { ++echoes; }
  void LineLost(const std::string& why) override { lost.push_back(why); }
  void Ended(const Outcome&) override { ++ended; }
  std::vector<std::optional<TimePoint>> waits;
  std::vector<UploadHeaderTexts> headers;
  std::vector<ProgressReport> progress;
  std::vector<std::string> lost;
  int echoes = 0, ended = 0;
};

// One turn: the receiver says `in` (or the tick comes, or Stop is pressed); the PC writes `out`.
struct Turn {
  enum Act { Say, Tick, Stop } act;
  Bytes in, out;
};
Turn Say(Bytes in, Bytes out = {}) { return {Turn::Say, std::move(in), std::move(out)}; }
Turn Tick(Bytes out = {}) { return {Turn::Tick, {}, std::move(out)}; }
Turn Stop(Bytes out = {}) { return {Turn::Stop, {}, std::move(out)}; }

struct Bench {
  explicit Bench(ExchangeKind kind, const std::string& path = "file.bin") {
    serial.SetPortOpen(true);
    serial.SetInputLen(1);  // left from before: every read takes all that waits
    transfer = std::make_unique<Transfer>(
        serial, files, clock, heard, TransferSetup{kind, path, std::chrono::microseconds{7}, 0});
  }
  // Plays the turns with each `Say` in reads of at most `piece` bytes, or split once at `at`.
  void Play(const Bytes& first, const std::vector<Turn>& turns, std::size_t piece, std::size_t at) {
    transfer->Begin();
    EXPECT_EQ(Hex(serial.written), Hex(first)) << "before the receiver spoke";
    for (std::size_t i = 0; i < turns.size() && !transfer->Done(); ++i) {
      const Turn& t = turns[i];
      const std::size_t before = serial.written.size();
      if (t.act == Turn::Tick) transfer->OnTick();
      if (t.act == Turn::Stop) transfer->Stop();
      if (t.act == Turn::Say) {
        serial.Deliver(t.in);
        for (std::size_t left = t.in.size(), n; left > 0; left -= n) {
          n = std::min({left, piece, at > 0 && left == t.in.size() && at < left ? at : left});
          serial.chunks.push_back(n);
        }
        transfer->OnReadable();
      }
      EXPECT_EQ(Hex(Bytes(serial.written.begin() + long(before), serial.written.end())), Hex(t.out))
          << "turn " << i;
    }
  }
  TempDir dir{MemoryTempBase()};
  FakeSerial serial;
  FaultyFiles files;
  FakeClock clock;
  Heard heard;
  std::unique_ptr<Transfer> transfer;
};

struct Transcript {
  const char* name;
  Bytes first;  // what the PC writes before the receiver speaks
  std::vector<Turn> turns;
  K outcome;
  // Only in whole reads: a verdict of several bytes is one read.
  bool wholeOnly = false;
};

// Plays each transcript in every cut of its reads; check() looks at the end of each play.
void PlayAll(ExchangeKind kind, const Bytes& file, const std::vector<Transcript>& transcripts,
             const std::function<void(const Transcript&, Bench&)>& check = {}) {
  for (const Transcript& t : transcripts) {
    std::size_t longest = 1;
    for (const Turn& turn : t.turns) longest = std::max(longest, turn.in.size());
    std::vector<std::pair<std::size_t, std::size_t>> cuts{{~std::size_t{0}, 0}};
    if (!t.wholeOnly) {
      cuts.push_back({1, 0});
      // Every position of a short turn; of a long one (a block), its edges and a sample.
      for (std::size_t at = 1; at < longest; ++at)
        if (at < 80 || at + 10 > longest || at % 31 == 0) cuts.push_back({~std::size_t{0}, at});
    }
    for (const auto& [piece, at] : cuts) {
      SCOPED_TRACE(std::string(t.name) + " in reads of " + std::to_string(piece) + ", cut at " +
                   std::to_string(at));
      Bench b(kind);
      if (kind != ExchangeKind::Upload) WriteFile("file.bin", file);
      b.Play(t.first, t.turns, piece, at);
      ASSERT_TRUE(b.transfer->Done());
      EXPECT_EQ(b.transfer->Result().kind, t.outcome);
      EXPECT_EQ(b.heard.ended, 1);
      if (check) check(t, b);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// --- Program download -------------------------------------------------------------------

// An image of dataLength bytes after its header; prefixed: a length prefix that makes the
// file exactly 128 bytes longer than its value.
Bytes Image(std::size_t dataLength, bool prefixed = false) {
  const std::uint32_t l = static_cast<std::uint32_t>(4 + 64 + dataLength - 128);
  return Concat(
      {prefixed ? B({int(l >> 24), int(l >> 16 & 255), int(l >> 8 & 255), int(l & 255)}) : Bytes{},
       ImageHeaderBytes(), Pattern(dataLength, 11)});
}
// 02 00 FF, the 1024 bytes of block k (FF behind the file's end), 00 FF.
Bytes Block(const Bytes& file, std::size_t headerSize, std::size_t k) {
  Bytes data(1024, 0xFF);
  const std::size_t from = headerSize + 1024 * k;
  for (std::size_t i = 0; i < 1024 && from + i < file.size(); ++i) data[i] = file[from + i];
  return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})});
}

TEST(ProgramDownload, TranscriptsEndAsTheReceiverSaid) {
  const Bytes file = Image(1500);  // two blocks
  const Bytes header = Concat({B({0x08}), Bytes(file.begin(), file.begin() + 64)});
  const Bytes b0 = Block(file, 64, 0), b1 = Block(file, 64, 1);
  // clang-format off
  const std::vector<Transcript> transcripts = {
      {"complete", {}, {Say({0x55, 1, 0x66}, header), Say({0x10}, b0), Say({0x10}, b1),
                        Say({0x15, 0x10}, B({3})), Say({0x17})}, K::Complete},
      // The verdict may come in the read of the last block's 10: no read more is waited for.
      {"verdict with the last 10", {},
       {Say({1}, header), Say({0x10}, b0), Say({0x10}, b1), Say({0x10, 0x17}, B({3}))}, K::Complete},
      {"rejected", {}, {Say({1}, header), Say({0x10}, b0), Say({0x10}, b1), Say({0x10}, B({3})),
                        Say({0x15, 0x16})}, K::Rejected, true},
      {"refused", {}, {Say({1}, header), Say({0x12, 0x14})}, K::HeaderRefused, true},
      {"accepted among refusals", {}, {Say({1}, header), Say({0x12, 0x10}, b0), Stop(B({3}))},
       K::Stopped, true},
      // A 17 said before the question is no verdict: not at the start, not in a block's ack.
      {"stale 17 before ready", {}, {Say({0x5D, 0x07, 0x00, 0x17}), Stop(B({3}))}, K::Stopped},
      {"stale 17 mid-transfer", {},
       {Say({1}, header), Say({0x10, 0x17}, b0), Say({0x10, 0x17}, b1), Stop(B({3}))}, K::Stopped},
      {"bytes after the 01 came before the header", {}, {Say({1, 0x10, 0x17}, header), Stop(B({3}))},
       K::Stopped, true},
      {"stop awaiting the verdict", {},
       {Say({1}, header), Say({0x10}, b0), Say({0x10}, b1), Say({0x10}, B({3})), Stop()}, K::Stopped},
  };
  // clang-format on
  PlayAll(ExchangeKind::ProgramDownload, file, transcripts, [&](const Transcript& t, Bench& b) {
    const Outcome& o = b.transfer->Result();
    const std::string name = t.name;
    if (name == "refused") {
      EXPECT_TRUE(o.refusal.hw && !o.refusal.sw && o.refusal.model);
    }
    if (name == "rejected") {
      EXPECT_TRUE(o.verdict.checksumError && o.verdict.verifyError && !o.verdict.complete);
    }
    if (o.kind == K::Stopped) {
      EXPECT_FALSE(o.verdict.complete) << "nothing claims completion after Stop";
    }
    if (name == "stop awaiting the verdict") {
      EXPECT_EQ(std::make_pair(o.done, o.total),
                std::make_pair(std::int64_t(1564), std::int64_t(1564)));
    }
    if (name == "complete") {
      ASSERT_EQ(b.heard.progress.size(), 2u);
      EXPECT_EQ(b.heard.progress[0].sizeText, "1k/1K");
      EXPECT_FLOAT_EQ(b.heard.progress[0].barValue, 1088.0f * 95 / 1564);
      EXPECT_EQ(b.heard.waits.size(), 2u);
      EXPECT_FALSE(b.heard.waits[1]) << "the receiver spoke";
    }
  });
}

// The header block is 68 bytes exactly when the file is 128 bytes longer than its first four
// bytes say; each block goes in one write; a file shorter than its header is refused.
TEST(ProgramDownload, HeaderBlockBlocksAndWrites) {
  using Case = std::tuple<Bytes, std::size_t, std::size_t>;  // file, header size, blocks
  const Case cases[] = {{Image(0), 64, 1},
                        {Image(1024), 64, 2},
                        {Image(2049), 64, 3},
                        {Image(60, true), 68, 1},
                        {Image(2048, true), 68, 3}};
  for (const auto& [file, headerSize, blocks] : cases) {
    Bench b(ExchangeKind::ProgramDownload);
    WriteFile("file.bin", file);
    std::vector<Turn> turns{
        Say({1}, Concat({B({8}), Bytes(file.begin(), file.begin() + long(headerSize))}))};
    for (std::size_t k = 0; k < blocks; ++k)
      turns.push_back(Say({0x10}, Block(file, headerSize, k)));
    turns.push_back(Say({0x10}, B({3})));
    turns.push_back(Say({0x17}));
    b.Play({}, turns, ~std::size_t{0}, 0);
    EXPECT_EQ(b.transfer->Result().kind, K::Complete);
    std::vector<std::size_t> want{1, headerSize}, got;
    want.insert(want.end(), blocks, 1029);
    want.push_back(1);
    for (const auto& w : b.serial.writes) got.push_back(w.size());
    EXPECT_EQ(got, want);
  }
  Bench b(ExchangeKind::ProgramDownload);
  WriteFile("file.bin", Bytes(63, 0x55));
  b.transfer->Begin();
  EXPECT_EQ(b.transfer->Result().kind, K::InvalidFile);
  EXPECT_TRUE(b.serial.written.empty());
}

TEST(ProgramDownload, FileThatFailsToReadEndsTheDataWithoutAVerdict) {
  const Bytes file = Image(3000);
  Bench b(ExchangeKind::ProgramDownload);
  WriteFile("file.bin", file);
  b.files.readFault["file.bin"] = {64 + 1024 + 10, EIO};
  b.Play({},
         {Say({1}, Concat({B({8}), Bytes(file.begin(), file.begin() + 64)})),
          Say({0x10}, Block(file, 64, 0)), Say({0x10, 0x17}, B({3}))},
         ~std::size_t{0}, 0);
  EXPECT_EQ(b.transfer->Result().kind, K::FileError);
  EXPECT_FALSE(b.files.IsOpen(1));
}

// --- Upload -------------------------------------------------------------------------------

Bytes UpHeader(std::uint32_t announced) {
  Bytes h = ImageHeaderBytes({0, 1}, {0, 0, 1, 5}, {0, 0, 0x2A, 0x0B}, {0x12, 0x05});
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<std::uint8_t>(announced >> (24 - 8 * i));
  return h;
}
Bytes Frame(const Bytes& data) { return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})}); }

TEST(Upload, TranscriptsStoreWhatCameAndEndAsTheReceiverSaid) {
  const Bytes d1 = Pattern(1024, 1), d2 = Pattern(1024, 2);
  // The short one announces 0x01000800 bytes: every byte of the length counts.
  auto announced = [](const std::string& name) { return name == "short" ? 0x01000800u : 2048u; };
  const Bytes head = Concat({B({0x08}), UpHeader(2048)});
  // clang-format off
  const std::vector<Transcript> transcripts = {
      // Line noise holding an 08 (right before the header's too) is dropped; 01 goes again at
      // each tick until the header's start (08 55 AA 55 AA) has come.
      {"complete", B({1}),
       {Tick(B({1})), Say({0x08, 0x55, 0x08, 0x08}), Tick(B({1})), Say(Bytes(head.begin(), head.begin() + 5)),
        Tick(), Say(Bytes(head.begin() + 5, head.end()), B({0x10})), Say(Frame(d1), B({0x10})),
        Say(Frame(d2), B({0x10})), Say({3}, B({0x17}))}, K::UploadCompleted},
      {"short", B({1}), {Say(Concat({B({0x08}), UpHeader(announced("short"))}), B({0x10})),
                         Say(Frame(d1), B({0x10})), Say({3}, B({0x17}))}, K::UploadIncomplete},
      // Six silent ticks in a block ask for it again; its repetition overwrites what came.
      {"block asked again", B({1}),
       {Say(head, B({0x10})), Say(Bytes(500, 9)), Tick(), Tick(), Tick(), Tick(), Tick(), Tick(B({0x11})),
        Say(Frame(d1), B({0x10})), Say(Frame(d2), B({0x10})), Say({3}, B({0x17}))}, K::UploadCompleted},
      {"stopped in the blocks", B({1}),
       {Say(head, B({0x10})), Say(Frame(d1), B({0x10})), Say(Bytes(100, 9)), Stop()}, K::Stopped},
  };
  // clang-format on
  PlayAll(ExchangeKind::Upload, {}, transcripts, [&](const Transcript& t, Bench& b) {
    const std::string name = t.name;
    const Outcome& o = b.transfer->Result();
    const bool whole = name == "complete" || name == "block asked again";
    EXPECT_EQ(ReadFile("file.bin"), Concat({UpHeader(announced(name)), d1, whole ? d2 : Bytes{}}));
    ASSERT_EQ(b.heard.headers.size(), 1u);
    EXPECT_EQ(
        b.heard.headers[0].hw + ", " + b.heard.headers[0].sw + ", " + b.heard.headers[0].model,
        "HW version : 1.05, SW version : 2A.0B, Model ID : 1205    ABC");
    if (name == "short") {
      EXPECT_EQ(std::make_pair(o.done, o.total),
                std::make_pair(std::int64_t(1024), std::int64_t(0x01000800)));
    }
    EXPECT_EQ(b.clock.pauses.size(), b.heard.progress.size());
    EXPECT_EQ(b.heard.progress.back().sizeText, whole             ? "2k/2K"
                                                : name == "short" ? "1k/16779K"
                                                                  : "1k/2K");
  });
}

// The pause comes right before each block's 10; a block that cannot be stored is not
// acknowledged; Stop before the header leaves an existing file as it was.
TEST(Upload, PauseBeforeEachAckAndFailuresKeepWhatWasStored) {
  const Bytes head = Concat({B({0x08}), UpHeader(4096)});
  {
    Bench b(ExchangeKind::Upload);
    std::vector<std::size_t> writtenAtPause;
    b.clock.onPause = [&] { writtenAtPause.push_back(b.serial.written.size()); };
    b.Play(B({1}), {Say(head, B({0x10})), Say(Frame(Pattern(1024)), B({0x10}))}, ~std::size_t{0},
           0);
    EXPECT_EQ(writtenAtPause, std::vector<std::size_t>{2}) << "the pause comes before the 10";
    EXPECT_EQ(b.clock.pauses, std::vector<std::chrono::microseconds>{std::chrono::microseconds{7}});
  }
  // A new file keeps the blocks stored; an existing one is replaced only by a complete upload.
  for (const bool existing : {false, true}) {
    Bench b(ExchangeKind::Upload);
    if (existing) WriteFile("file.bin", B({1, 2, 3}));
    b.files.writeLimit["file.bin"] = 64 + 1024 + 100;
    b.Play(
        B({1}),
        {Say(head, B({0x10})), Say(Frame(Pattern(1024)), B({0x10})), Say(Frame(Pattern(1024, 3)))},
        ~std::size_t{0}, 0);
    EXPECT_EQ(b.transfer->Result().kind, K::FileError);
    EXPECT_EQ(b.transfer->Result().systemError, "No space left on device");
    EXPECT_EQ(ReadFile("file.bin").size(), existing ? 3u : 64u + 1024 + 100);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
    fs::remove("file.bin");
  }
  {
    Bench b(ExchangeKind::Upload);
    WriteFile("file.bin", B({1, 2, 3}));
    b.Play(B({1}), {Say(Bytes(head.begin(), head.begin() + 34)), Stop()}, ~std::size_t{0}, 0);
    EXPECT_EQ(b.transfer->Result().kind, K::Stopped);
    EXPECT_EQ(ReadFile("file.bin"), B({1, 2, 3}));
    ASSERT_EQ(b.heard.headers.size(), 1u);
    EXPECT_FALSE(b.heard.headers[0].complete);
    EXPECT_EQ(b.heard.headers[0].model, "Model ID : 1205    A") << "what came of the text";
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
  }
}

// How long n bytes take on a 115200 8N1 line.
std::chrono::nanoseconds LineTime(std::size_t n) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(static_cast<double>(n) / 11520.0));
}

// Windows reads as bytes come: its waits end at 15.6 ms ticks.
#ifdef _WIN32
constexpr bool kReadsDeferred = false;
#else
constexpr bool kReadsDeferred = true;
#endif

// A block that comes in pieces over its line time is read in two once a block has come so:
// its first piece, then the rest when it is due, as long after the first piece as the last
// block took. A line whose pieces come faster is read as bytes come; every block is stored
// and acknowledged either way.
TEST(Transfer, ReadsTheRestOfAPacedBlockWhenItIsDue) {
  if (!kReadsDeferred) GTEST_SKIP() << "Windows reads as bytes come";
  using namespace std::chrono;
  // How each 256-byte slice of a block reaches the PC, handed over when its last byte has
  // crossed the line: whole (a paced pseudo-terminal), its first 16 bytes at once and the
  // rest 0.2 ms later (a UART's queue), or all of the block at once (faster).
  enum Line { Paced, Queued, Faster };
  for (const Line line : {Paced, Queued, Faster}) {
    SCOPED_TRACE(line);
    Bench b(ExchangeKind::Upload);
    b.transfer->Begin();
    b.serial.Deliver(Concat({B({0x08}), UpHeader(3 * 1024)}));
    b.transfer->OnReadable();
    std::vector<std::optional<nanoseconds>> dues;  // after each block's first read
    for (int k = 0; k < 3; ++k) {
      const Bytes frame = Frame(Pattern(1024, k));
      std::vector<std::pair<nanoseconds, Bytes>> pieces;  // from the block's start
      for (std::size_t at = 0; at < frame.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, frame.size() - at);
        const auto piece = [&](std::size_t from, std::size_t to, nanoseconds when) {
          pieces.push_back({when, Bytes(frame.begin() + long(from), frame.begin() + long(to))});
        };
        const auto when = line == Faster ? nanoseconds(0) : LineTime(at + n);
        if (line == Queued && n > 16) {
          piece(at, at + 16, when);
          piece(at + 16, at + n, when + microseconds(200));
        } else {
          piece(at, at + n, when);
        }
      }
      const auto start = b.clock.now;
      bool first = true;
      for (const auto& [when, bytes] : pieces) {
        // A deferred read is made at its time, with what has come by then.
        if (const auto due = b.transfer->ReadDue(); due && *due <= start + when) {
          b.clock.now = *due;
          b.transfer->OnReadable();
        }
        b.clock.now = std::max(b.clock.now, start + when);
        b.serial.Deliver(bytes);
        if (const auto due = b.transfer->ReadDue(); due && *due > b.clock.now) continue;
        b.transfer->OnReadable();
        if (first) {
          const auto due = b.transfer->ReadDue();
          dues.push_back(due ? std::optional(*due - b.clock.now) : std::nullopt);
          first = false;
        }
      }
      if (const auto due = b.transfer->ReadDue()) b.clock.now = *due, b.transfer->OnReadable();
      EXPECT_FALSE(b.transfer->ReadDue()) << "between blocks the line is watched";
    }
    // The rest of a block comes 773 bytes' line time after its first piece.
    const nanoseconds rest = LineTime(1029) - LineTime(256) - microseconds(300);
    ASSERT_EQ(dues.size(), 3u);
    EXPECT_FALSE(dues[0]) << "the first block shows how blocks come";
    for (const auto& due : {dues[1], dues[2]}) {
      EXPECT_EQ(due.has_value(), line != Faster);
      if (due) {
        EXPECT_LT(abs(*due - rest), microseconds(2));
      }
    }
    EXPECT_EQ(b.serial.written, B({1, 0x10, 0x10, 0x10, 0x10}));
  }
}

// A front end that notes when bytes come without reading them (the window's watch) is
// offered that wait from a block's first bytes: the block is then read whole in one go.
// Every sixteenth block is read as it comes, to time the line again, and a block that comes
// slower than the last is finished as its bytes come, and times the next ones.
TEST(Transfer, ReadsAPacedBlockWholeFromWhenItsFirstBytesCame) {
  if (!kReadsDeferred) GTEST_SKIP() << "Windows reads as bytes come";
  using namespace std::chrono;
  const auto rest = LineTime(1029) - LineTime(256) - microseconds(300);
  const auto late = microseconds(500);  // how late the front end wakes
  Bench b(ExchangeKind::Upload);
  b.transfer->Begin();
  b.serial.Deliver(Concat({B({0x08}), UpHeader(40 * 1024)}));
  b.transfer->OnReadable();
  EXPECT_FALSE(b.transfer->ReadAfterBytes()) << "no block has shown how blocks come yet";
  std::vector<int> readsPerBlock;
  std::vector<int> wholeAfter;  // blocks read whole, counted from the last one read as it came
  for (int k = 0; k < 40; ++k) {
    const Bytes frame = Frame(Pattern(1024, k));
    // 256-byte pieces, the first at the block's start; block 30 comes 3 ms slower.
    const auto slow = k == 30 ? milliseconds(3) : milliseconds(0);
    std::vector<std::pair<nanoseconds, Bytes>> pieces;
    for (std::size_t at = 0; at < frame.size(); at += 256) {
      const std::size_t n = std::min<std::size_t>(256, frame.size() - at);
      pieces.push_back({LineTime(at + n) - LineTime(256) + (at > 0 ? slow : nanoseconds(0)),
                        Bytes(frame.begin() + long(at), frame.begin() + long(at + n))});
    }
    const auto start = b.clock.now + milliseconds(1);
    const auto after = b.transfer->ReadAfterBytes();
    int reads = 0;
    std::size_t next = 0;
    const auto deliverUntil = [&](steady_clock::time_point t) {
      for (; next < pieces.size() && start + pieces[next].first <= t; ++next)
        b.serial.Deliver(pieces[next].second);
    };
    if (after) {
      EXPECT_LT(abs(*after - rest), microseconds(2)) << "block " << k;
      b.clock.now = start + *after + late;
      deliverUntil(b.clock.now);
      b.transfer->BytesCameAt(start);
      b.transfer->OnReadable();
      ++reads;
    }
    // The rest as bytes come, or when due.
    while (next < pieces.size()) {
      const auto due = b.transfer->ReadDue();
      const auto at = start + pieces[next].first;
      b.clock.now = due && *due > at ? *due : at;
      deliverUntil(b.clock.now);
      b.transfer->OnReadable();
      ++reads;
    }
    if (const auto due = b.transfer->ReadDue())
      b.clock.now = *due, b.transfer->OnReadable(), ++reads;
    ASSERT_FALSE(b.transfer->Done());
    EXPECT_EQ(b.serial.written.size(), 3u + k) << "block " << k << " acknowledged";
    readsPerBlock.push_back(reads);
  }
  EXPECT_FALSE(b.transfer->ReadAfterBytes()) << "the announced length has come: the end is next";
  // Block 0 times the line; 1 to 16 are read whole; 17 as it comes; 18 to 29 whole; the slow
  // block 30 in its pieces after the first read, then 31 on read whole again.
  for (int k = 0; k < 40; ++k) {
    const bool whole = (k >= 1 && k <= 16) || (k >= 18 && k <= 29) || k >= 31;
    EXPECT_EQ(readsPerBlock[k] == 1, whole)
        << "block " << k << ": " << readsPerBlock[k] << " reads";
  }
}

// --- Temu download ------------------------------------------------------------------------

Bytes ReadRequest(std::size_t count, std::uint32_t offset) {
  return B({2, 2, int(count & 255), int(count >> 8), int(offset & 255), int(offset >> 8 & 255),
            int(offset >> 16 & 255), int(offset >> 24), 3});
}

TEST(TemuDownload, TranscriptsServeEveryRequestAndEndWhenTheReceiverSays) {
  Bytes file = Pattern(70000, 4);
  auto slice = [&](std::size_t from, std::size_t n) {
    return Bytes(file.begin() + long(from), file.begin() + long(from + n));
  };
  const std::vector<Transcript> transcripts = {
      {"served",
       {},
       // A request of an unknown code is dropped once plainly complete (03 at 2 and 8), even
       // when a 03 at 2 came first and what follows looks like a request.
       {Say({1, 3}), Say({2, 9, 3, 2, 1, 3, 0, 0, 3}), Say({0x55, 2, 1, 3}, B({2, 1, 0x0A, 3})),
        Say(ReadRequest(16, 0), Concat({B({2, 2}), slice(0, 16), B({3})})),
        // The offset's third byte: 65552 is 10 00 01 00.
        Say(ReadRequest(8, 65552), Concat({B({2, 2}), slice(65552, 8), B({3})})),
        Say(ReadRequest(4, 69998), Concat({B({2, 2}), slice(69998, 2), B({0xFF, 0xFF, 3})})),
        Say(ReadRequest(2, 0x80000000u), B({2, 2, 0xFF, 0xFF, 3})),
        Say({2, 3, 3}, B({2, 3, 0xC0, 0x79, 0x12, 0x45, 0x00, 3})), Say({2, 0x0A, 3})},
       K::TemuEnded},
      {"stopped", {}, {Say({2, 1, 3}, B({2, 1, 0x0A, 3})), Say({2, 2, 4}), Stop()}, K::Stopped},
  };
  PlayAll(ExchangeKind::TemuDownload, file, transcripts, [](const Transcript& t, Bench& b) {
    EXPECT_EQ(b.transfer->Result().served, std::string(t.name) == "served" ? 6 : 1);
  });
}

TEST(TemuDownload, RepliesInTheirWritesAndTheProgressOfTheFile) {
  Bench b(ExchangeKind::TemuDownload);
  const Bytes file = Pattern(4096);
  WriteFile("file.bin", file);
  b.serial.Deliver({2, 0x0A, 3});  // an end request from before the start: dropped
  b.clock.local = {2026, 12, 7, 23, 59, 58};
  b.Play({},
         {Say(ReadRequest(1024, 2048),
              Concat({B({2, 2}), Bytes(file.begin() + 2048, file.begin() + 3072), B({3})})),
          Say({2, 3, 3}, B({2, 3, 0xEF, 0xC5, 0x23, 0x59, 0x58, 3})),
          Say({2, 1, 3}, B({2, 1, 0x0A, 3}))},
         ~std::size_t{0}, 0);
  std::vector<std::size_t> got;
  for (const auto& w : b.serial.writes) got.push_back(w.size());
  EXPECT_EQ(got, (std::vector<std::size_t>{2, 1024, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(b.serial.outDrops, 4) << "at the start and before each reply";
  ASSERT_EQ(b.heard.progress.size(), 3u);
  EXPECT_EQ(b.heard.progress[0].sizeText, "3k/4K");
}

// --- The transfer around them -------------------------------------------------------------

TEST(Transfer, LostOrEchoingLineIsToldAndALostOneEndsTheTransfer) {
  Bench b(ExchangeKind::Upload);
  b.transfer->Begin();
  for (int i = 0; i < 3; ++i) b.serial.Deliver({1}), b.transfer->OnTick();
  EXPECT_EQ(b.heard.echoes, 1);
  b.transfer->OnTick();
  EXPECT_EQ(b.heard.echoes, 1) << "told once";
  b.serial.lost = true, b.serial.lastError = "gone";
  b.transfer->OnReadable();
  EXPECT_EQ(b.heard.lost, std::vector<std::string>{"gone"});
  ASSERT_TRUE(b.transfer->Done());
  EXPECT_EQ(b.transfer->Result().kind, K::Stopped);
  EXPECT_TRUE(b.transfer->Result().lineLost);

  Bench early(ExchangeKind::ProgramDownload);
  early.serial.lost = true;
  early.transfer->Begin();
  EXPECT_EQ(early.transfer->Result().kind, K::Nothing);
  EXPECT_TRUE(early.serial.written.empty());
}

}  // namespace
}  // namespace kelvane::test
