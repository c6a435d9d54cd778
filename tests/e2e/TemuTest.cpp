// The Temu exchange: the receiver reads the whole file and the PC's time; it checks every
// reply byte for byte itself and fails the run on any difference.

#include <gtest/gtest.h>

#include <ostream>

#include "Harness.h"
#include "receiver/SampleFiles.h"

namespace kelvane::e2e {
namespace {

struct TemuCase {
  std::size_t size;
  QStringList options;
};

void PrintTo(const TemuCase& c, std::ostream* os) {
  *os << c.size << " bytes " << c.options.join(' ').toStdString();
}

class Temu : public ::testing::TestWithParam<TemuCase> {};

TEST_P(Temu, EveryReplyMatchesTheFile) {
  static QTemporaryDir dir;
  const QString card = dir.filePath("card.sgn");
  WriteFile(card.toStdString(), samples::TemuFile(GetParam().size));
  Receiver receiver(QStringList{"temu", card, "--timeout", "5", "--max-skew", "5"} + GetParam().options);
  Product product(receiver.Device());
  product.Click(Control::TemuDot);
  product.Choose(card.toStdString());
  product.StartAndWait();
  EXPECT_FALSE(product.WatchdogFired());
  EXPECT_TRUE(product.Texts().empty());  // the exchange shows no message of its own
  EXPECT_TRUE(product.Unlocked());
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Errors();
  EXPECT_NE(receiver.Summary().find("PC time"), std::string::npos) << receiver.Summary();
}

INSTANTIATE_TEST_SUITE_P(E2e, Temu,
                         ::testing::Values(TemuCase{5000, {}},
                                           // requests in pieces with junk between them
                                           TemuCase{3000, {"--pieces", "--noise", "7", "--chunk", "700"}},
                                           TemuCase{0, {"--chunk", "16"}}));

}  // namespace
}  // namespace kelvane::e2e
