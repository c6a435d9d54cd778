#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/Outcome.h"

namespace kelvane::cli {
namespace {

ParseResult Parse(std::vector<std::string> args) { return ParseArguments(args); }

TEST(CliArguments, CommandsTakeTheirArguments) {
  auto r = Parse({"--port", "COM3", "download", "image.bin"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, Command::Download);
  EXPECT_EQ(r.options.file, "image.bin");
  EXPECT_EQ(r.options.port, "COM3");
  EXPECT_EQ(Parse({"download", "--sdx", "list.sdx"}).options.command, Command::DownloadSdx);
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

  for (const char* port : {"com8", "/dev/ttyUSB0", "./pty"}) EXPECT_EQ(Parse({"--port", port, "ports"}).error, "") << port;
  EXPECT_EQ(Parse({"--port", "auto", "download", "--temu", "card.sgn"}).options.port, kAutoPort);
  EXPECT_TRUE(Parse({"ports", "--json"}).options.json);
  EXPECT_EQ(ComPortNumber("com8"), 8);
  for (const char* notCom : {"COM0", "COM9", "COM10"}) EXPECT_EQ(ComPortNumber(notCom), 0) << notCom;
}

TEST(CliArguments, MistakesAreUsageErrors) {
  for (auto args : {std::vector<std::string>{}, {"download"}, {"download", "a.bin", "b.bin"}, {"info"},
                    {"ports", "extra"}, {"sdx", "a", "b", "c"}, {"upload", "--sdx", "x"},
                    {"download", "--sdx", "--temu", "x"}, {"flash", "x"}, {"--port", "COM9", "ports"},
                    {"--port", "ttyUSB0", "ports"}, {"--port"}, {"--timeout", "0", "ports"},
                    {"--timeout", "-3", "ports"}, {"--timeout", "soon", "ports"}, {"--force=yes", "ports"},
                    {"--bogus", "ports"}, {"upload", ""}, {"--port", "auto", "upload", "x"}, {"--json=1", "ports"}})
    EXPECT_NE(ParseArguments(args).error, "") << ::testing::PrintToString(args);
  // Help wins over anything else on the line.
  EXPECT_TRUE(Parse({"--bogus", "--help"}).options.help);
  EXPECT_EQ(Parse({"--bogus", "--help"}).error, "");
}

TEST(CliOutcome, MessagesMapToExitStatusesAndTheFirstFailureCounts) {
  const std::pair<const char*, int> errors[] = {
      {"HW version is not matched", kHeaderRefused}, {"SW version is lower", kHeaderRefused},
      {"Model ID is not matched", kHeaderRefused},   {"CheckSUM Error", kDataRejected},
      {"Verify Error", kDataRejected},               {"Invalid File format", kFileError},
      {"Serial Port is not available", kPortUnavailable},
      {"Permission denied", kFileError}};  // a system error description in an error box
  for (auto [text, status] : errors) EXPECT_EQ(MeaningOf(text, true).status, status) << text;
  EXPECT_TRUE(MeaningOf("Upload Completed", false).success);
  EXPECT_EQ(MeaningOf("Replace existing file - a.bin?", false).status, kDone);  // a question is no failure
  EXPECT_FALSE(MeaningOf("Replace existing file - a.bin?", false).success);

  Outcome o;
  o.Message("Kelvane Complete", false);
  EXPECT_EQ(o.Status(), kDone);
  EXPECT_TRUE(o.SawSuccess());
  o.Message("HW version is not matched", true);
  o.Message("CheckSUM Error", true);
  EXPECT_EQ(o.Status(), kHeaderRefused);
  o.MarkTimedOut();
  EXPECT_EQ(o.Status(), kTimedOut);
  o.MarkStopped();  // a signal comes first
  EXPECT_EQ(o.Status(), kStopped);
}

}  // namespace
}  // namespace kelvane::cli
