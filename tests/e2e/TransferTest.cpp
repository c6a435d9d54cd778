// Every exchange from a click on Start to what reached the other end, through the real
// window against the receiver emulator: the bytes, the messages and the unlocked window.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <ostream>

#include "Harness.h"
#include "receiver/SampleFiles.h"

namespace kelvane::e2e {
namespace {

constexpr const char* kComplete = "Kelvane Complete";
constexpr const char* kUploaded = "Upload Completed";

enum class Exchange { Program, Prefixed, Sdx, Upload, Temu };
// What reached the receiver's saved copy (downloads) or the chosen file (uploads).
enum class Kept { Whole, TwoBlocks, Nothing, Unchecked };

struct Case {
  const char* name;
  Exchange exchange;
  std::vector<std::string> options;  // the emulator's, after its command
  std::vector<std::string> texts;    // the messages shown, in order
  Kept kept = Kept::Whole;
  const char* summary = "";  // in the emulator's summary line
  int stopAfterMs = 0;       // Stop pressed this long after Start
  int starts = 1;
  bool receiverOk = true;  // the emulator saw what it expected
  int size = -1;           // data bytes of the image, or of the Temu file; -1: the default
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kLost = {kPortNotAvailable};

const Case kCases[] = {
    {.name = "Paced", .exchange = Exchange::Program, .options = {"--pace"}, .texts = {kComplete}},
    // The receiver announces ready while the PC is idle: the second download still runs from its
    // start.
    {.name = "SecondDownloadOnTheSameLine",
     .exchange = Exchange::Program,
     .options = {"--count", "2"},
     .texts = {kComplete, kComplete},
     .starts = 2},
    {.name = "PrefixedImage", .exchange = Exchange::Prefixed, .options = {}, .texts = {kComplete}},
    {.name = "ChannelListAsTheConvertedContainer",
     .exchange = Exchange::Sdx,
     .options = {},
     .texts = {kComplete}},
    // Junk before the ready byte and in front of every answer holds no control byte.
    {.name = "GarbageBetweenFrames",
     .exchange = Exchange::Program,
     .options = {"--noise", "40", "--garbage", "25"},
     .texts = {kComplete}},
    {.name = "FinalVerdictSentAgainIsShownOnce",
     .exchange = Exchange::Program,
     .options = {"--join", "--resend-final", "300"},
     .texts = {kComplete}},
    // The final verdict joined to the last 10 counts at once: no Stop is needed.
    {.name = "FinalVerdictJoinedToTheLastAck",
     .exchange = Exchange::Program,
     .options = {"--join", "--linger", "2000"},
     .texts = {kComplete}},
    // A refused header becomes its message, and nothing is sent after it.
    {.name = "HwRefused",
     .exchange = Exchange::Program,
     .options = {"--verdict", "12"},
     .texts = {"HW version is not matched"},
     .kept = Kept::Nothing,
     .summary = ", 0 blocks"},
    // Written apart, only the first refusal is in the chunk the verdict wait ends on.
    {.name = "HwAndModelRefusedApart",
     .exchange = Exchange::Program,
     .options = {"--verdict", "12,14", "--split"},
     .texts = {"HW version is not matched"},
     .kept = Kept::Nothing,
     .summary = ", 0 blocks"},
    // The receiver judges what came: a bit flipped on the way is never "Complete".
    {.name = "CorruptedListIsAChecksumError",
     .exchange = Exchange::Sdx,
     .options = {"--corrupt", "200"},
     .texts = {"CheckSUM Error"},
     .kept = Kept::Unchecked},
    {.name = "CorruptedImageIsAVerifyError",
     .exchange = Exchange::Program,
     .options = {"--corrupt", "1500"},
     .texts = {"Verify Error"},
     .kept = Kept::Unchecked},
    // Downloads have no time-out: Stop ends the wait of a silent receiver, and the PC still
    // ends the data with 03.
    {.name = "SilentFromBlockTwo",
     .exchange = Exchange::Program,
     .options = {"--silent-from", "2", "--timeout", "2"},
     .texts = {},
     .kept = Kept::Unchecked,
     .summary = "with an 03",
     .stopAfterMs = 1500},
    // The far end closes in the middle of the data: no wait for an acknowledge that cannot come.
    {.name = "ReceiverHangsUp",
     .exchange = Exchange::Program,
     .options = {"--hang-up-after", "2"},
     .texts = kLost,
     .kept = Kept::Unchecked},

    {.name = "UploadPaced",
     .exchange = Exchange::Upload,
     .options = {"--pace"},
     .texts = {kUploaded}},
    // Noise before the header is dropped; an unanswered ready goes out again at the next tick.
    {.name = "UploadNoisyLateStart",
     .exchange = Exchange::Upload,
     .options = {"--noise", "60", "--ignore-ready", "1"},
     .texts = {kUploaded}},
    // A block that stops half way is asked for again after six silent ticks and replaced.
    {.name = "UploadStalledBlockAskedForAgain",
     .exchange = Exchange::Upload,
     .options = {"--stall-block", "2", "--stall-seconds", "7"},
     .texts = {kUploaded},
     .summary = "the PC asked for it again once"},
    {.name = "UploadStopEndsTheWaitForTheHeader",
     .exchange = Exchange::Upload,
     .options = {"--ignore-ready", "1000", "--timeout", "2"},
     .texts = {},
     .kept = Kept::Nothing,
     .stopAfterMs = 2500,
     .receiverOk = false},
    {.name = "UploadReceiverHangsUpKeepsTheBlocksWritten",
     .exchange = Exchange::Upload,
     .options = {"--hang-up-after", "2"},
     .texts = kLost,
     .kept = Kept::TwoBlocks},
    // A line that floods the byte loop without a pause (noise longer than the test) still
    // hands Stop to the loop: nothing of a header has come when it ends.
    {.name = "UploadFloodedLineStopsOnStop",
     .exchange = Exchange::Upload,
     .options = {"--noise", "30000000", "--timeout", "1"},
     .texts = {},
     .kept = Kept::Nothing,
     .stopAfterMs = 300,
     .receiverOk = false},

    // The emulator checks every reply against the file and the PC's time itself.
    {.name = "Temu",
     .exchange = Exchange::Temu,
     .options = {},
     .texts = {},
     .kept = Kept::Unchecked,
     .summary = "PC time"},
    {.name = "TemuRequestsInPiecesWithJunk",
     .exchange = Exchange::Temu,
     .options = {"--pieces", "--noise", "7", "--chunk", "700"},
     .texts = {},
     .kept = Kept::Unchecked,
     .summary = "PC time",
     .size = 3000},
    {.name = "TemuEmptyFile",
     .exchange = Exchange::Temu,
     .options = {"--chunk", "16"},
     .texts = {},
     .kept = Kept::Unchecked,
     .summary = "PC time",
     .size = 0},
};

class Transfer : public ::testing::TestWithParam<Case> {};

TEST_P(Transfer, ThroughTheWindow) {
  const Case& c = GetParam();
  const Exchange x = c.exchange;
  const bool up = x == Exchange::Upload;
  QTemporaryDir scratch;  // the emulator's files: it starts before the product's folder exists
  const std::string served = scratch.filePath("served").toStdString(),
                    saved = scratch.filePath("saved").toStdString();
  samples::ImageFields fields;
  fields.dataLength = c.size >= 0               ? std::size_t(c.size)
                      : up                      ? 3 * 1024 + 500
                      : x == Exchange::Prefixed ? 2048
                                                : 3 * 1024 + 100;
  Bytes file =
      x == Exchange::Temu  ? samples::TemuFile(c.size >= 0 ? std::size_t(c.size) : 5000)
      : x == Exchange::Sdx ? samples::ChannelList()
      : x == Exchange::Prefixed
          ? samples::Prefixed(samples::ProgramImage(fields))  // a last block of filler only
          : samples::ProgramImage(fields);
  samples::WriteFile(served, file);

  std::vector<std::string> args{"accept", "--timeout", "5", "--save", saved};
  if (up) args = {"serve", served, "--timeout", "10"};
  if (x == Exchange::Temu) args = {"temu", served, "--timeout", "5", "--max-skew", "5"};
  if (x == Exchange::Program || x == Exchange::Prefixed)
    args.insert(args.end(), {"--length", std::to_string(file.size() - (file[0] == 0x55 ? 64 : 68)),
                             "--expect", served});
  args.insert(args.end(), c.options.begin(), c.options.end());
  Receiver receiver(args);
  Product product(receiver.Device());
  if (up) product.Click(Control::UpDot);
  if (x == Exchange::Sdx) product.Click(Control::SDXDot);
  if (x == Exchange::Temu) product.Click(Control::TemuDot);
  const std::string chosen = up ? product.Path("upload.bin") : served;
  product.Choose(chosen);

  QElapsedTimer took;
  took.start();
  for (int i = 0; i < c.starts; ++i) product.StartAndWait(ms(25000), ms(c.stopAfterMs));
  EXPECT_GE(took.elapsed(), c.stopAfterMs * 9 / 10);
  if (c.stopAfterMs) {
    EXPECT_LT(took.elapsed(), c.stopAfterMs + 2000) << "Stop ends the transfer at once";
  }
  EXPECT_FALSE(product.watchdogFired);
  EXPECT_EQ(product.texts, c.texts);
  EXPECT_FALSE(product.window.Enabled(Control::ExitButton));
  EXPECT_TRUE(product.window.Enabled(Control::portOpen));
  if (c.texts != kLost) {
    EXPECT_TRUE(product.window.Enabled(Control::Browse));
  }
  EXPECT_EQ(receiver.Finish() == 0, c.receiverOk) << receiver.Errors();
  if (*c.summary) {
    EXPECT_NE(receiver.Summary().find(c.summary), std::string::npos) << receiver.Summary();
  }

  const Bytes got = test::ReadBytes(up ? chosen : saved);
  if (c.kept == Kept::Whole) {
    ASSERT_GT(got.size(), 64u);
    const Bytes want = x == Exchange::Sdx ? test::ReadBytes(product.Path("satcodx.tm1")) : file;
    if (x == Exchange::Program || x == Exchange::Prefixed) {
      EXPECT_EQ(got, want) << got.size() << " bytes, " << want.size() << " expected";
    } else {
      EXPECT_TRUE(test::SameUpToFiller(got, want))
          << got.size() << " bytes, " << want.size() << " expected";
    }
  }
  if (c.kept == Kept::TwoBlocks) {
    EXPECT_EQ(got, Bytes(file.begin(), file.begin() + 64 + 2 * 1024));
  }
  if (c.kept == Kept::Nothing) {
    EXPECT_TRUE(got.empty()) << got.size() << " bytes";
  }
  const QString hw = product.window.Widget(Control::HWver)->property("text").toString();
  if (up && !got.empty()) {
    EXPECT_EQ(hw.toStdString(), "HW version : 1.05");
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, Transfer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::e2e

namespace kelvane::e2e {
namespace {

// The demo's emulator (`any`) on one run: every exchange stopped part way, then run whole.
// Each reply is held back 100 ms so that a Stop after 700 ms lands in the middle.
struct DemoStep {
  Control type;  // ProgramDot, SDXDot, TemuDot, or UpDot for an upload
  std::string file;
  std::vector<std::string> texts;  // shown by the complete run
  const char* exchange;            // as the emulator names it
};

TEST(DemoEmulator, EveryExchangeStoppedPartWayThenComplete) {
  QTemporaryDir scratch;
  const auto path = [&](const char* name) { return scratch.filePath(name).toStdString(); };
  samples::ImageFields fields;
  fields.dataLength = 12 * 1024 + 100;
  const Bytes image = samples::ProgramImage(fields);
  Bytes list;
  for (int i = 0; i < 6; ++i) {
    const Bytes part = samples::ChannelList();
    list.insert(list.end(), part.begin(), part.end());
  }
  samples::WriteFile(path("image.bin"), image);
  samples::WriteFile(path("list.sdx"), list);
  samples::WriteFile(path("card.sgn"), samples::TemuFile(20000));

  Receiver receiver({"--count", "8", "--reply-delay", "100", "--timeout", "1", "any", "--image",
                     path("image.bin")});
  Product product(receiver.Device());
  const DemoStep steps[] = {
      {.type = Control::ProgramDot,
       .file = path("image.bin"),
       .texts = {kComplete},
       .exchange = "download"},
      {.type = Control::SDXDot,
       .file = path("list.sdx"),
       .texts = {kComplete},
       .exchange = "download"},
      {.type = Control::TemuDot, .file = path("card.sgn"), .texts = {}, .exchange = "temu"},
      {.type = Control::UpDot,
       .file = product.Path("upload.bin"),
       .texts = {kUploaded},
       .exchange = "upload"},
  };
  for (const DemoStep& step : steps) {
    SCOPED_TRACE(step.file);
    const bool up = step.type == Control::UpDot;
    // Temu as the TYPE would take UpLoad's Start too: the program type goes first.
    product.Click(Control::DownDot);
    product.Click(up ? Control::ProgramDot : step.type);
    if (up) product.Click(Control::UpDot);
    product.Choose(up ? product.Path("stopped.bin") : step.file);
    product.texts.clear();
    product.StartAndWait(ms(10000), ms(700));
    EXPECT_EQ(product.texts,
              std::vector<std::string>{});  // a stopped exchange is never reported complete
    Product::Pause(ms(1500));               // the emulator gives the silent PC up
    if (up) product.Choose(step.file);
    product.StartAndWait(ms(15000));
    EXPECT_EQ(product.texts, step.texts);
    EXPECT_FALSE(product.watchdogFired);
  }
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Errors();
  const std::string out = receiver.Output();
  for (int i = 0; i < 8; ++i) {
    const std::string line = std::string(steps[i / 2].exchange) + " " + std::to_string(i + 1) +
                             (i % 2 ? " ok:" : " stopped:");
    EXPECT_NE(out.find(line), std::string::npos) << line << " not in\n" << out;
  }
  // The stopped downloads got no final verdict.
  EXPECT_NE(out.find("no final verdict"), std::string::npos) << out;
  EXPECT_TRUE(test::SameUpToFiller(test::ReadBytes(product.Path("upload.bin")), image));
}

}  // namespace
}  // namespace kelvane::e2e
