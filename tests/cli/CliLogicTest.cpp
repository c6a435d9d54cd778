#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/Outcome.h"
#include "cli/ProgressLine.h"

namespace kelvane::cli {
namespace {

ParseResult Parse(std::initializer_list<const char*> args) {
  return ParseArguments(std::vector<std::string>(args.begin(), args.end()));
}

TEST(CliArguments, CommandsTakeTheirArguments) {
  auto r = Parse({"--port", "COM3", "download", "image.bin"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, Command::Download);
  EXPECT_EQ(r.options.file, "image.bin");
  EXPECT_EQ(r.options.port, "COM3");

  r = Parse({"download", "--sdx", "list.sdx"});
  EXPECT_EQ(r.options.command, Command::DownloadSdx);
  r = Parse({"download", "--temu", "card.sgn", "--quiet"});
  EXPECT_EQ(r.options.command, Command::DownloadTemu);
  EXPECT_TRUE(r.options.quiet);

  r = Parse({"sdx", "list.sdx", "out"});
  EXPECT_EQ(r.options.command, Command::Sdx);
  EXPECT_EQ(r.options.dir, "out");

  r = Parse({"--timeout=2.5", "-f", "upload", "--", "-odd-name.bin"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, Command::Upload);
  EXPECT_EQ(r.options.file, "-odd-name.bin");
  EXPECT_DOUBLE_EQ(*r.options.timeoutSeconds, 2.5);
  EXPECT_TRUE(r.options.force);
}

TEST(CliArguments, MistakesAreUsageErrors) {
  for (auto args : {std::vector<std::string>{},
                    {"download"},
                    {"download", "a.bin", "b.bin"},
                    {"info"},
                    {"ports", "extra"},
                    {"sdx", "a", "b", "c"},
                    {"upload", "--sdx", "x"},
                    {"download", "--sdx", "--temu", "x"},
                    {"flash", "x"},
                    {"--port", "COM9", "ports"},
                    {"--port", "ttyUSB0", "ports"},
                    {"--port"},
                    {"--timeout", "0", "ports"},
                    {"--timeout", "-3", "ports"},
                    {"--timeout", "soon", "ports"},
                    {"--force=yes", "ports"},
                    {"--bogus", "ports"},
                    {"upload", ""}}) {
    EXPECT_NE(ParseArguments(args).error, "") << ::testing::PrintToString(args);
  }
  // Help wins over anything else on the line.
  EXPECT_TRUE(Parse({"--bogus", "--help"}).options.help);
  EXPECT_EQ(Parse({"--bogus", "--help"}).error, "");
}

TEST(CliArguments, PortNames) {
  EXPECT_EQ(ComPortNumber("COM1"), 1);
  EXPECT_EQ(ComPortNumber("com8"), 8);
  EXPECT_EQ(ComPortNumber("COM0"), 0);
  EXPECT_EQ(ComPortNumber("COM9"), 0);
  EXPECT_EQ(ComPortNumber("COM10"), 0);
  EXPECT_EQ(Parse({"--port", "/dev/ttyUSB0", "ports"}).error, "");
  EXPECT_EQ(Parse({"--port", "./pty", "ports"}).error, "");
}

TEST(CliOutcome, MessagesMapToExitStatuses) {
  EXPECT_EQ(MeaningOf("Kelvane Complete", false).status, kDone);
  EXPECT_TRUE(MeaningOf("Upload Completed", false).success);
  for (const char* refused : {"HW version is not matched", "SW version is lower", "Model ID is not matched"})
    EXPECT_EQ(MeaningOf(refused, true).status, kHeaderRefused) << refused;
  EXPECT_EQ(MeaningOf("CheckSUM Error", true).status, kDataRejected);
  EXPECT_EQ(MeaningOf("Verify Error", true).status, kDataRejected);
  EXPECT_EQ(MeaningOf("Invalid File format", true).status, kFileError);
  EXPECT_EQ(MeaningOf("Serial Port is not available", true).status, kPortUnavailable);
  // A system error description shown in an error box is a file error; other boxes are not.
  EXPECT_EQ(MeaningOf("Permission denied", true).status, kFileError);
  EXPECT_TRUE(MeaningOf("Permission denied", true).error);
  EXPECT_EQ(MeaningOf("Replace existing file - a.bin?", false).status, kDone);
  EXPECT_FALSE(MeaningOf("Replace existing file - a.bin?", false).success);
}

TEST(CliOutcome, FirstFailureCountsAndSignalsComeFirst) {
  Outcome o;
  o.Message("Kelvane Complete", false);
  EXPECT_EQ(o.Status(), kDone);
  EXPECT_TRUE(o.SawSuccess());

  Outcome both;
  both.Message("HW version is not matched", true);
  both.Message("CheckSUM Error", true);
  EXPECT_EQ(both.Status(), kHeaderRefused);
  both.MarkTimedOut();
  EXPECT_EQ(both.Status(), kTimedOut);
  both.MarkStopped();
  EXPECT_EQ(both.Status(), kStopped);
}

TEST(CliProgress, SizeTextRateAndTimeLeft) {
  EXPECT_FALSE(ParseSizeText("12k/"));
  EXPECT_FALSE(ParseSizeText("12k/2097Kx"));
  const auto counts = ParseSizeText("12k/2097K");
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->done, 12000);
  EXPECT_EQ(counts->total, 2097000);

  using namespace std::chrono;
  ProgressMeter m;
  const auto t0 = steady_clock::time_point{} + hours(1);
  m.Start(t0);
  m.Update("20k/40K", 47.5f, t0 + seconds(2));
  EXPECT_DOUBLE_EQ(m.Percent(), 50.0);  // the bar runs 0..95 for 0..100 %
  EXPECT_DOUBLE_EQ(m.BytesPerSecond(), 10000.0);
  EXPECT_NE(m.Line().find("20k/40K"), std::string::npos);
  EXPECT_NE(m.Line().find(" 50.0 %"), std::string::npos);
  EXPECT_NE(m.Line().find("10.0 kB/s"), std::string::npos);
  EXPECT_NE(m.Line().find("0:02 left"), std::string::npos);

  // The bar stops at 95 while the transfer runs; the line never shows more than 100 %.
  m.Update("40k/40K", 95.0f, t0 + seconds(4));
  EXPECT_DOUBLE_EQ(m.Percent(), 100.0);
  EXPECT_NE(m.Line().find("0:00 left"), std::string::npos);

  EXPECT_EQ(Duration(59.6), "1:00");
  EXPECT_EQ(Duration(3725), "1:02:05");
}

}  // namespace
}  // namespace kelvane::cli
