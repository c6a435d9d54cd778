// Program and SDX downloads from a click on Start to the receiver's saved copy.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <algorithm>
#include <ostream>

#include "Harness.h"
#include "receiver/SampleFiles.h"

namespace kelvane::e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr const char* kComplete = "Kelvane Complete";

// An image of three full blocks and part of a fourth.
constexpr std::size_t kData = 3 * 1024 + 100;

struct Download {
  Bytes image;
  std::unique_ptr<Receiver> receiver;
  std::unique_ptr<Product> product;
  std::string saved;

  // A receiver taking the image with extra options; the product has chosen the image.
  Download(const Bytes& img, QStringList options, bool chooseImage = true) : image(img) {
    QStringList args{"accept", "--timeout", "5"};
    if (chooseImage) args << "--length" << QString::number(image.size() - (image[0] == 0x55 ? 64 : 68));
    const QString save = SavePath();
    saved = save.toStdString();
    receiver = std::make_unique<Receiver>(args + options + QStringList{"--save", save});
    product = std::make_unique<Product>(receiver->Device());
    if (!chooseImage) return;
    WriteFile(product->Path("image.bin"), image);
    product->Choose(product->Path("image.bin"));
  }
  // The receiver starts before the product exists: its copy goes to a directory of its own.
  static QString SavePath() {
    static QTemporaryDir dir;
    static int n = 0;
    return dir.filePath(QString("saved-%1.bin").arg(++n));
  }
  Bytes Saved() const { return ReadFile(saved); }
};

TEST(Download, ImageArrivesByteForByteAndCompleteIsShown) {
  Download d(SmallImage(kData), {"--pace"});
  d.product->StartAndWait();
  EXPECT_FALSE(d.product->WatchdogFired());
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_TRUE(d.product->Unlocked());
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), d.image);
}

// The receiver announces ready while the PC is idle between two downloads; the second
// download still runs from its start.
TEST(Download, SecondDownloadOnTheSameLine) {
  Download d(SmallImage(kData), {"--count", "2"});
  d.product->StartAndWait();
  d.product->StartAndWait();
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete, kComplete));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), d.image);
}

TEST(Download, PrefixedImageSendsItsLengthPrefixWithTheHeader) {
  const Bytes image = samples::Prefixed(SmallImage(2 * 1024));  // a last block of filler only
  Download d(image, {});
  d.product->StartAndWait();
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), image);
}

struct VerdictCase {
  const char* verdict;
  const char* final;
  bool split;
  std::vector<std::string> texts;
};

void PrintTo(const VerdictCase& c, std::ostream* os) {
  *os << "header " << c.verdict << ", final " << c.final << (c.split ? ", split" : "");
}

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

// Every answer of the receiver becomes its message, and nothing more is sent after a
// refused header.
TEST_P(Verdicts, AreShownAsTheirMessages) {
  const VerdictCase& c = GetParam();
  QStringList options{"--verdict", c.verdict, "--final", c.final};
  if (c.split) options << "--split";
  Download d(SmallImage(kData), options);
  d.product->StartAndWait();
  EXPECT_FALSE(d.product->WatchdogFired());
  EXPECT_EQ(d.product->Texts(), c.texts);
  EXPECT_TRUE(d.product->Unlocked());
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  const bool accepted = std::string(c.verdict).find("10") != std::string::npos;
  if (accepted) {
    EXPECT_EQ(d.Saved(), d.image);
  } else {
    EXPECT_NE(d.receiver->Summary().find(", 0 blocks"), std::string::npos) << d.receiver->Summary();
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Verdicts,
    ::testing::Values(
        VerdictCase{"12", "17", false, {"HW version is not matched"}},
        VerdictCase{"13", "17", false, {"SW version is lower"}},
        VerdictCase{"14", "17", false, {"Model ID is not matched"}},
        VerdictCase{"12,14", "17", false, {"HW version is not matched", "Model ID is not matched"}},
        // Written apart, only the first refusal is in the chunk the verdict wait ends on.
        VerdictCase{"12,14", "17", true, {"HW version is not matched"}},
        VerdictCase{"11", "17", false, {}},
        VerdictCase{"10,12", "17", false, {kComplete}},
        VerdictCase{"10", "15", false, {"CheckSUM Error"}},
        VerdictCase{"10", "16", false, {"Verify Error"}},
        VerdictCase{"10", "15,16", false, {"CheckSUM Error", "Verify Error"}}));

TEST(Download, ChannelListGoesOutAsTheConvertedContainer) {
  Download d({}, {}, false);
  const std::string list = d.product->Path("channels.sdx");
  WriteFile(list, samples::ChannelList());
  d.product->Click(Control::SDXDot);
  d.product->Choose(list);
  d.product->StartAndWait();
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  const Bytes container = ReadFile(d.product->Path("satcodx.tm1"));
  ASSERT_GT(container.size(), 64u + 128u);
  const Bytes saved = d.Saved();
  ASSERT_GE(saved.size(), container.size());
  EXPECT_TRUE(std::equal(container.begin(), container.end(), saved.begin()));
  EXPECT_TRUE(std::all_of(saved.begin() + static_cast<std::ptrdiff_t>(container.size()), saved.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
}

// Junk before the ready byte and in front of every answer holds no control byte the PC
// looks for: the transfer is unaffected.
TEST(Download, GarbageBetweenFramesIsIgnored) {
  Download d(SmallImage(kData), {"--noise", "40", "--garbage", "25"});
  d.product->StartAndWait();
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), d.image);
}

// The final verdict written together with the last 10 does not end the final wait, which
// waits for a read of its own: the PC waits until Stop. The verdict is still in the last
// chunk read, so it is shown once the wait has ended.
TEST(Download, FinalVerdictJoinedToTheLastAcknowledgeNeedsStop) {
  // The receiver stays on the line after the exchange, so that only Stop can end the wait.
  Download d(SmallImage(kData), {"--join", "--linger", "2000"});
  d.product->StopAfter(1000ms);
  QElapsedTimer took;
  took.start();
  d.product->StartAndWait();
  EXPECT_GE(took.elapsed(), 900);
  EXPECT_FALSE(d.product->WatchdogFired());
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_TRUE(d.product->Unlocked());
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), d.image);
}

TEST(Download, FinalVerdictSentAgainAfterTheEndIsShownOnce) {
  Download d(SmallImage(kData), {"--join", "--resend-final", "300"});
  d.product->StartAndWait();
  EXPECT_THAT(d.product->Texts(), ElementsAre(kComplete));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  EXPECT_EQ(d.Saved(), d.image);
}

// A receiver that stops answering: the downloads have no time-out, Stop ends each wait,
// the window is unlocked and no message is shown.
class SilentReceiver : public ::testing::TestWithParam<const char*> {};

TEST_P(SilentReceiver, StopEndsTheWait) {
  Download d(SmallImage(kData), {"--silent-from", GetParam(), "--timeout", "2"});
  d.product->StopAfter(1500ms);
  d.product->StartAndWait();
  EXPECT_FALSE(d.product->WatchdogFired());
  EXPECT_THAT(d.product->Texts(), ElementsAre());
  EXPECT_TRUE(d.product->Unlocked());
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
  // After Stop the PC still ends the data with 03.
  EXPECT_NE(d.receiver->Summary().find("with an 03"), std::string::npos) << d.receiver->Summary();
}

INSTANTIATE_TEST_SUITE_P(E2e, SilentReceiver, ::testing::Values("0", "2"));

// The receiver closes its end in the middle of the data: the PC says the port is gone and
// unlocks the window instead of waiting for an acknowledge that cannot come.
TEST(Download, ReceiverHangingUpIsReportedAndUnlocksTheWindow) {
  Download d(SmallImage(kData), {"--hang-up-after", "2"});
  d.product->StartAndWait(10s);
  EXPECT_FALSE(d.product->WatchdogFired());
  EXPECT_THAT(d.product->Texts(), ElementsAre(kPortNotAvailable));
  EXPECT_FALSE(d.product->window.Enabled(Control::ExitButton));
  EXPECT_TRUE(d.product->window.Enabled(Control::portOpen));
  EXPECT_EQ(d.receiver->Finish(), 0) << d.receiver->Errors();
}

}  // namespace
}  // namespace kelvane::e2e
