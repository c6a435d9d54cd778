#include "transfer/Upload.h"

#include <gtest/gtest.h>

#include "files/ImageFile.h"

#include "support/Rig.h"

namespace kelvane::test {
namespace {

// The header the receiver sends: announced length, versions and model.
Bytes Header(std::uint32_t announced = 0x00200000) {
  Bytes h = Pattern(64, 5);
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<std::uint8_t>(announced >> (24 - 8 * i));
  h[18] = 0x01, h[19] = 0x05, h[22] = 0x2A, h[23] = 0x0B, h[26] = 0x12, h[27] = 0x05;
  return h;
}
// A block frame: a lead byte other than 03, two bytes, the 1024 data bytes, two bytes.
Bytes Frame(const Bytes& data) { return Concat({B({0x02, 0x00, 0xFF}), data, B({0x00, 0xFF})}); }
Bytes Part(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + long(from), b.begin() + long(to));
}

struct Upload : Rig {
  explicit Upload(const std::vector<std::chrono::nanoseconds>& loopRuns = SteadyLoop())
      : Rig(loopRuns) {
    Choose(Control::UpDot, Control::ProgramDot, "up.bin");
  }
  Upload& Head(const Bytes& h = Header()) {
    return rx.Expect({0x01}).Send(Concat({B({0x08}), h})).Expect({0x10}), *this;
  }
  Upload& Block(const Bytes& data) { return rx.Send(Frame(data)).Expect({0x10}), *this; }
  void End() { rx.Send({0x03}).Expect({0x17}); }
};

TEST(Upload, StoresHeaderAndBlocksAndShowsTheHeader) {
  Upload u;
  const Bytes d1 = Pattern(1024, 1), d2 = Pattern(1024, 2);
  WriteFile("up.bin", Bytes(5000, 0xAA));  // an older, longer file is replaced whole
  u.rx.Expect({0x01})
      .Send({0x55, 0x07, 0x00})
      .Send(Concat({B({0x08}), Header()}))
      .Expect({0x10});  // noise before 08
  u.Block(d1).Block(d2);
  u.rx.Do([&] {
    EXPECT_EQ(u.view.Text(Control::Info), "2k/2097K");
    EXPECT_FLOAT_EQ(u.view.progress, float((64.0 + 2 * 1024) * 95 / 2097152));
  });
  u.End();
  u.Start();
  for (const auto& w : u.serial.writes) EXPECT_EQ(w.size(), 1u);
  EXPECT_EQ(ReadFile("up.bin"), Concat({Header(), d1, d2}));
  // The texts the same image shows when chosen as a file.
  const ImageTexts texts = HeaderTexts(Header());
  EXPECT_EQ(u.view.Text(Control::HWver) + ", " + u.view.Text(Control::SWver) + ", " +
                u.view.Text(Control::ModelID),
            texts.hw + ", " + texts.sw + ", " + texts.model);
  u.ExpectOnlyMessage("Upload Completed", "UpLoad", Icon::Information);
  // The bytes of the file with the rate on the window's clock: 1024 bytes in the 16 µs pause
  // before the first acknowledge.
  ASSERT_EQ(u.view.progressReports.size(), 2u);
  EXPECT_EQ(u.view.progressReports[1].done, 2048);
  EXPECT_EQ(u.view.progressReports[1].total, 2097152);
  EXPECT_DOUBLE_EQ(u.view.progressReports[1].bytesPerSecond, 64e6);
  EXPECT_EQ(u.main.LastTransfer().kind, Outcome::Kind::UploadCompleted);
  EXPECT_EQ(u.main.LastTransfer().done, 2048);
  EXPECT_EQ(u.serial.inputLenHistory.front(), 1) << "one byte per read while the upload runs";
  EXPECT_GE(u.serial.inDrops, 1) << "the port is flushed before ready";
  EXPECT_EQ(u.clock.pauses, (std::vector<std::chrono::microseconds>(2, Window::kLoopTime)));
  u.ExpectUnlocked();
}

TEST(Upload, ThePauseBeforeEachAcknowledgeIsTheCountingLoopTimedAtStartUp) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    std::vector<std::chrono::nanoseconds> runs;  // the timed runs of the loop, kLoopRuns of them
    std::chrono::microseconds pause;
  };
  const Case cases[] = {
      {.name = "the shortest run, rounded up",
       .runs = {40us, 12200ns, 25us, 900us, 12500ns},
       .pause = 13us},
      {.name = "every run interrupted",
       .runs = {5ms, 4ms, 5ms, 6ms, 5ms},
       .pause = kLongestLoopTime},
  };
  for (const auto& c : cases) {
    Upload u(c.runs);
    u.Head().Block(Pattern(1024)).Block(Pattern(1024, 1)).End();
    u.Start();
    EXPECT_EQ(u.clock.pauses, (std::vector<std::chrono::microseconds>(2, c.pause))) << c.name;
  }
}

TEST(Upload, ReadyIsRepeatedOnTicksAndEndMarkerMayFollowTheHeader) {
  Upload u;
  const Bytes h = Header(0);
  u.rx.Expect({0x01}).Tick().Expect({0x01}).Send({0x44}).AwaitRead().Tick().Expect({0x01});
  // Once the 08 has come a stalled header waits: ticks send nothing.
  u.rx.Send(Concat({B({0x08}), Part(h, 0, 20)}))
      .AwaitRead()
      .Tick(8)
      .Send(Part(h, 20, 64))
      .Expect({0x10});
  u.End();
  u.Start();
  EXPECT_EQ(ReadFile("up.bin"), h);
  EXPECT_TRUE(u.clock.pauses.empty());
  Upload z;  // nothing announced: the bar stands at 95
  z.Head(Header(0)).Block(Pattern(1024)).rx.Do([&] { EXPECT_EQ(z.view.progress, 95.0f); });
  z.End();
  z.Start();
}

TEST(Upload, SixSilentTicksInABlockAskForItAgain) {
  const Bytes first = Frame(Pattern(1024, 9)), second = Frame(Pattern(1024, 4));
  Upload u;
  u.Head();
  // Five silent ticks change nothing; a byte starts the count again.
  u.rx.Send(Part(first, 0, 300))
      .AwaitRead()
      .Tick(5)
      .Send(Part(first, 300, 301))
      .AwaitRead()
      .Tick(5);
  u.rx.Send(Part(first, 301, 1029)).Expect({0x10});
  // The sixth sends 11 and the block starts again from its first byte.
  u.rx.Send(Part(second, 0, 500)).AwaitRead().Tick(6).Expect({0x11});
  u.Block(Pattern(1024, 4)).End();
  u.Start();
  EXPECT_EQ(ReadFile("up.bin"), Concat({Header(), Pattern(1024, 9), Pattern(1024, 4)}));
}

// A Stop before the header creates no file; one after it is in the replacement test below.
TEST(Upload, StopInTheHeaderCreatesNoFile) {
  Upload h;
  h.rx.Expect({0x01}).Send(Concat({B({0x08}), Part(Header(), 0, 10)})).AwaitRead().Stop();
  h.Start();
  EXPECT_FALSE(fs::exists("up.bin")) << "nothing to put in its place: not created";
  EXPECT_TRUE(h.view.messages.empty());
  EXPECT_EQ(h.view.Text(Control::HWver) + ", " + h.view.Text(Control::ModelID),
            "HW version : 0.00, Model ID : 000    ");
  h.ExpectUnlocked();
}

TEST(Upload, TheViewHearsOfTheWaitForTheHeaderAndOfAStop) {
  using Since = std::optional<std::chrono::steady_clock::time_point>;
  const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::seconds(5);
  const struct {
    const char* name;
    std::function<void(Upload&)> script;
    std::vector<Since> waiting;
    std::vector<std::pair<std::int64_t, std::int64_t>> stopped;
  } cases[] = {
      {.name = "header came",
       .script = [](Upload& u) { u.Head().End(); },
       .waiting = {t0, std::nullopt},
       .stopped = {}},
      {.name = "stopped waiting for the header",
       .script = [](Upload& u) { u.rx.Expect({0x01}).Idle(3).Stop(); },
       .waiting = {t0},
       .stopped = {{0, 0}}},
      {.name = "stopped in the blocks",
       .script = [](Upload& u) { u.Head().Block(Pattern(1024, 1)).rx.Idle(3).Stop(); },
       .waiting = {t0, std::nullopt},
       .stopped = {{1024, 0x00200000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    u.clock.now = t0;
    c.script(u);
    u.Start();
    u.view.ExpectWaitsAndStop(c.waiting, c.stopped);
  }
}

// An existing file is replaced only once the receiver's header has come: a silent receiver,
// Stop or a failure before that leaves it as it was, and no private file stays behind. After
// the header, the blocks received stand under the target's name.
TEST(Upload, ExistingTargetIsReplacedOnlyOnceTheHeaderHasCome) {
  struct Case {
    const char* name;
    std::function<void(Upload&)> script;
    Bytes after = {};  // the target's content afterwards; empty: the old content
    std::size_t fits = SIZE_MAX;
  };
  const Case cases[] = {
      {.name = "silent receiver, Stop",
       .script =
           [](Upload& u) {
             u.rx.Expect({1}).Tick(3).Expect({1, 1, 1}).Stop();
           }},
      {.name = "half a header, Stop",
       .script =
           [](Upload& u) {
             u.rx.Expect({1}).Send(Concat({B({8}), Part(Header(), 0, 30)})).AwaitRead().Stop();
           }},
      {.name = "header cannot be written",
       .script =
           [](Upload& u) {
             u.rx.Expect({1}).Send(Concat({B({8}), Header()}));
           },
       .fits = 10},
      {.name = "header, a block and a half, Stop",
       .script =
           [](Upload& u) {
             u.Head().Block(Pattern(1024, 1)).rx.Send(Part(Frame(Pattern(1024, 2)), 0, 700));
             u.rx.AwaitRead().Stop();
           },
       .after = Concat({Header(), Pattern(1024, 1)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upload u;
    const Bytes old = Pattern(5000, 3);
    WriteFile("up.bin", old);
    if (c.fits != SIZE_MAX) u.files.writeLimit["up.bin"] = c.fits;
    c.script(u);
    u.Start();
    EXPECT_EQ(ReadFile("up.bin"), c.after.empty() ? old : c.after);
    EXPECT_EQ(u.files.PrivateOf("up.bin"), "") << "a private file left behind";
    EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 1);
    u.ExpectUnlocked();
  }
}

// A write that fails, or a flush to the disk (delayed write errors show only there), ends the
// upload with the system's reason instead of "Upload Completed".
TEST(Upload, FailedWriteOrFlushEndsTheUploadWithTheSystemsReason) {
  enum Step { AtHeader, AtSecondBlock, AtEnd };
  struct Case {
    Step step;
    std::size_t fits = SIZE_MAX;
    const char* flushed = nullptr;  // a file or folder whose flush fails ...
    std::size_t passes = 0;         // ... after this many
    const char* says = "Input/output error";
  };
  for (const Case& c : {Case{AtHeader, 0, nullptr, 0, "No space left on device"},
                        Case{AtSecondBlock, 64 + 1024, nullptr, 0, "No space left on device"},
                        Case{AtHeader, SIZE_MAX, "up.bin"},  // before the rename
                        Case{AtHeader, SIZE_MAX, "."},       // the folder after it
                        Case{AtEnd, SIZE_MAX, "up.bin", 1}}) {
    SCOPED_TRACE(std::to_string(c.step) + " " + (c.flushed ? c.flushed : ""));
    Upload u;
    if (c.fits != SIZE_MAX) u.files.writeLimit["up.bin"] = c.fits;
    if (c.flushed) u.files.syncFault[c.flushed] = {c.passes, EIO};
    u.rx.Expect({0x01}).Send(Concat({B({0x08}), Header()}));
    if (c.step != AtHeader) u.rx.Expect({0x10}), u.Block(Pattern(1024, 1));
    if (c.step == AtSecondBlock) u.rx.Send(Frame(Pattern(1024, 2)));
    if (c.step == AtEnd) u.End();
    u.Start();  // nothing acknowledged after the failure
    u.ExpectOnlyMessage(c.says, "", Icon::Exclamation);
    u.ExpectUnlocked();
  }
}

}  // namespace
}  // namespace kelvane::test
