// What only a real line shows, through the real window against the receiver emulator: a paced
// line, the conversion in the working folder, a far end that hangs up or floods the line, and
// the PC's own clock. The exchanges' logic is tested against fakes.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <ostream>

#include "Harness.h"
#include "receiver/SampleFiles.h"

namespace kelvane::e2e {
namespace {

enum class Exchange { Program, Sdx, Upload, Temu };
// What reached the receiver's saved copy (downloads) or the chosen file (uploads).
enum class Kept { Whole, TwoBlocks, Nothing, Unchecked };

struct Case {
  const char* name;
  Exchange exchange;
  std::vector<std::string> options = {};  // the emulator's, after its command
  std::vector<std::string> texts = {};    // the messages shown, in order
  Kept kept = Kept::Whole;
  int stopAfterMs = 0;     // Stop pressed this long after Start
  bool receiverOk = true;  // the emulator saw what it expected
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kLost = {kPortNotAvailable};
using E = Exchange;
using K = Kept;

// clang-format off
const Case kCases[] = {
    {.name = "Paced", .exchange = E::Program, .options = {"--pace"}, .texts = {"Kelvane Complete"}},
    {.name = "ChannelList", .exchange = E::Sdx, .texts = {"Kelvane Complete"}},
    // The final verdict joined to the last 10 counts at once: no Stop is needed.
    {.name = "FinalVerdictJoinedToTheLastAck", .exchange = E::Program, .options = {"--join", "--linger", "2000"}, .texts = {"Kelvane Complete"}},
    // The receiver judges what came: a bit flipped on the way is never "Complete".
    {.name = "CorruptedListIsAChecksumError", .exchange = E::Sdx, .options = {"--corrupt", "200"}, .texts = {"CheckSUM Error"}, .kept = K::Unchecked},
    {.name = "CorruptedImageIsAVerifyError", .exchange = E::Program, .options = {"--corrupt", "1500"}, .texts = {"Verify Error"}, .kept = K::Unchecked},
    {.name = "HangUp", .exchange = E::Program, .options = {"--hang-up-after", "2"}, .texts = kLost, .kept = K::Unchecked},
    {.name = "UploadPaced", .exchange = E::Upload, .options = {"--pace"}, .texts = {"Upload Completed"}},
    {.name = "UploadHangUpKeepsTheBlocks", .exchange = E::Upload, .options = {"--hang-up-after", "2"}, .texts = kLost, .kept = K::TwoBlocks},
    // Noise longer than the test without a pause still hands Stop to the byte loop.
    {.name = "UploadFloodStops", .exchange = E::Upload, .options = {"--noise", "30000000", "--timeout", "1"}, .kept = K::Nothing, .stopAfterMs = 300, .receiverOk = false},
    // The emulator checks every reply against the file and the PC's time itself.
    {.name = "Temu", .exchange = E::Temu, .kept = K::Unchecked},
};
// clang-format on

class Transfer : public ::testing::TestWithParam<Case> {};

TEST_P(Transfer, ThroughTheWindow) {
  const Case& c = GetParam();
  const bool up = c.exchange == E::Upload;
  QTemporaryDir scratch;  // the emulator's files: it starts before the product's folder exists
  const std::string served = scratch.filePath("served").toStdString(),
                    saved = scratch.filePath("saved").toStdString();
  samples::ImageFields fields;
  fields.dataLength = up ? 3 * 1024 + 500 : 3 * 1024 + 100;
  const Bytes file = c.exchange == E::Temu  ? samples::TemuFile(5000)
                     : c.exchange == E::Sdx ? samples::ChannelList()
                                            : samples::ProgramImage(fields);
  samples::WriteFile(served, file);

  std::vector<std::string> args{"accept", "--timeout", "5", "--save", saved};
  if (up) args = {"serve", served, "--timeout", "10"};
  if (c.exchange == E::Temu) args = {"temu", served, "--timeout", "5", "--max-skew", "5"};
  if (c.exchange == E::Program)
    args.insert(args.end(), {"--length", std::to_string(file.size() - 64), "--expect", served});
  args.insert(args.end(), c.options.begin(), c.options.end());
  args.insert(args.begin(), KELVANE_RECEIVER);
  test::Child receiver(args);  // its first line names its device
  const std::string device = receiver.FirstLine();
  ASSERT_FALSE(device.empty()) << "kelvane-receiver named no device";
  Product product(device);
  if (up) product.Click(Control::UpDot);
  if (c.exchange == E::Sdx) product.Click(Control::SDXDot);
  if (c.exchange == E::Temu) product.Click(Control::TemuDot);
  const std::string chosen = up ? product.Path("upload.bin") : served;
  product.Choose(chosen);

  QElapsedTimer took;
  took.start();
  product.StartAndWait(ms(25000), ms(c.stopAfterMs));
  if (c.stopAfterMs) {
    EXPECT_LT(took.elapsed(), c.stopAfterMs + 2000) << "Stop ends the transfer at once";
  }
  EXPECT_FALSE(product.watchdogFired);
  EXPECT_EQ(product.texts, c.texts);
  EXPECT_FALSE(product.window.Enabled(Control::ExitButton));
  EXPECT_TRUE(product.window.Enabled(Control::portOpen));
  // The event loop runs meanwhile, so that the product's last bytes, written from it, go out.
  const test::Result rx =
      receiver.Wait(ms(15000), [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
  EXPECT_EQ(rx.status == 0, c.receiverOk) << rx.err;

  const Bytes got = test::ReadBytes(up ? chosen : saved);
  if (c.kept == K::Whole && c.exchange == E::Program) {
    EXPECT_EQ(got, file) << got.size() << " bytes, " << file.size() << " expected";
  } else if (c.kept == K::Whole) {
    const Bytes want = c.exchange == E::Sdx ? test::ReadBytes(product.Path("satcodx.tm1")) : file;
    EXPECT_TRUE(want.size() > 64 && test::SameUpToFiller(got, want)) << got.size() << " bytes";
  }
  if (c.kept == K::TwoBlocks) {
    EXPECT_EQ(got, Bytes(file.begin(), file.begin() + 64 + 2 * 1024));
  }
  if (c.kept == K::Nothing) {
    EXPECT_TRUE(got.empty()) << got.size() << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, Transfer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::e2e
