// Uploads: the receiver serves an image, the product writes it to the chosen file.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Harness.h"

namespace kelvane::e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr const char* kUploaded = "Upload Completed";

// What the upload writes for an image: its header and data, the last block padded with FF.
Bytes Padded(Bytes image) {
  while ((image.size() - 64) % 1024) image.push_back(0xFF);
  return image;
}

struct Upload {
  Bytes image;
  std::unique_ptr<Receiver> receiver;
  std::unique_ptr<Product> product;
  std::string target;

  Upload(const Bytes& img, const QStringList& options) : image(img) {
    static QTemporaryDir dir;
    const QString served = dir.filePath("served.bin");
    WriteFile(served.toStdString(), image);
    receiver = std::make_unique<Receiver>(QStringList{"serve", served, "--timeout", "10"} + options);
    product = std::make_unique<Product>(receiver->Device());
    target = product->Path("upload.bin");
    product->Click(Control::UpDot);
    product->Choose(target);
  }
};

TEST(Upload, ImageArrivesByteForByteWithItsHeaderShown) {
  Upload u(SmallImage(2 * 1024 + 500), {"--pace"});
  u.product->StartAndWait();
  EXPECT_FALSE(u.product->WatchdogFired());
  EXPECT_THAT(u.product->Texts(), ElementsAre(kUploaded));
  EXPECT_TRUE(u.product->Unlocked());
  EXPECT_EQ(u.receiver->Finish(), 0) << u.receiver->Errors();
  EXPECT_EQ(ReadFile(u.target), Padded(u.image));
  const auto* hw = u.product->window.Widget(Control::HWver);
  EXPECT_EQ(hw->property("text").toString().toStdString(), "HW version : 1.05");
}

// Noise in front of the header is dropped; ready bytes the receiver does not answer are
// sent again at the next tick.
TEST(Upload, NoisyLateStartIsTolerated) {
  Upload u(SmallImage(3 * 1024), {"--noise", "60", "--ignore-ready", "1"});
  u.product->StartAndWait();
  EXPECT_THAT(u.product->Texts(), ElementsAre(kUploaded));
  EXPECT_EQ(u.receiver->Finish(), 0) << u.receiver->Errors();
  EXPECT_EQ(ReadFile(u.target), u.image);
}

// A block that stops half way is asked for again with 11 after six silent ticks; the
// repetition replaces the broken half and the file is intact.
TEST(Upload, StalledBlockIsAskedForAgainAndArrivesIntact) {
  Upload u(SmallImage(3 * 1024), {"--stall-block", "2", "--stall-seconds", "7"});
  u.product->StartAndWait(25s);
  EXPECT_FALSE(u.product->WatchdogFired());
  EXPECT_THAT(u.product->Texts(), ElementsAre(kUploaded));
  EXPECT_EQ(u.receiver->Finish(), 0) << u.receiver->Errors();
  EXPECT_NE(u.receiver->Summary().find("the PC asked for it again once"), std::string::npos) << u.receiver->Summary();
  EXPECT_EQ(ReadFile(u.target), u.image);
}

// A receiver that never sends its header: ready goes out again at every tick until Stop.
TEST(Upload, StopEndsTheWaitForTheHeader) {
  Upload u(SmallImage(1024), {"--ignore-ready", "1000", "--timeout", "2"});
  u.product->StopAfter(2500ms);
  u.product->StartAndWait();
  EXPECT_FALSE(u.product->WatchdogFired());
  EXPECT_TRUE(u.product->Texts().empty());
  EXPECT_TRUE(u.product->Unlocked());
  EXPECT_NE(u.receiver->Finish(), 0);  // it was still waiting for more ready bytes
  EXPECT_TRUE(ReadFile(u.target).empty());
}

TEST(Upload, ReceiverHangingUpIsReportedAndKeepsTheBlocksWritten) {
  Upload u(SmallImage(4 * 1024), {"--hang-up-after", "2"});
  u.product->StartAndWait(10s);
  EXPECT_FALSE(u.product->WatchdogFired());
  EXPECT_THAT(u.product->Texts(), ElementsAre(kPortNotAvailable));
  EXPECT_FALSE(u.product->window.Enabled(Control::ExitButton));
  EXPECT_EQ(u.receiver->Finish(), 0) << u.receiver->Errors();
  const Bytes head(u.image.begin(), u.image.begin() + 64 + 2 * 1024);
  EXPECT_EQ(ReadFile(u.target), head);
}

}  // namespace
}  // namespace kelvane::e2e
