#include <gtest/gtest.h>

#include <sstream>

#ifndef _WIN32
#include <unistd.h>

#include <array>
#endif

#include "cli/CliOptions.h"
#include "cli/ExitStatus.h"
#include "cli/Readiness.h"

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

  for (const char* port : {"com8", "/dev/ttyUSB0", "./pty", "\\\\.\\pipe\\rx", "\\\\.\\COM10"})
    EXPECT_EQ(Parse({"--port", port, "ports"}).error, "") << port;
  EXPECT_EQ(Parse({"--port", "auto", "download", "--temu", "card.sgn"}).options.port, kAutoPort);
  EXPECT_TRUE(Parse({"ports", "--json"}).options.json);
  EXPECT_EQ(ComPortNumber("com8"), 8);
  for (const char* notCom : {"COM0", "COM9", "COM10"})
    EXPECT_EQ(ComPortNumber(notCom), 0) << notCom;
}

TEST(CliArguments, MistakesAreUsageErrors) {
  // Command lines parted by '|', their words by spaces; "''" is an empty word.
  std::istringstream lines(
      "|download|download a.bin b.bin|info|ports extra|sdx a b c|upload --sdx x|flash x|"
      "download --sdx --temu x|--port COM9 ports|--port ttyUSB0 ports|--port|--bogus ports|"
      "--timeout 0 ports|--timeout -3 ports|--timeout soon ports|--force=yes ports|upload ''|"
      "--port auto upload x|--json=1 ports|--trace '' download a|"
      // Ports that cannot run together: one device twice, or files per port of one name.
      "-p COM1 -p COM2 info a|-p COM1 -p com1 download a|-p /dev/pts/3 -p /dev/pts/3 download a|"
      "-p COM1 -p COM2 --trace - download a|-p /dev/pts/3 -p /tmp/3 upload a|"
      "-p /dev/pts/3 -p /tmp/3 --trace t download a");
  for (std::string line; std::getline(lines, line, '|');) {
    std::vector<std::string> args;
    for (std::istringstream in(line); in >> line;) args.push_back(line == "''" ? "" : line);
    EXPECT_NE(ParseArguments(args).error, "") << ::testing::PrintToString(args);
  }
  // The same last name is no clash when nothing is written per port.
  EXPECT_EQ(Parse({"-p", "/dev/pts/3", "-p", "/tmp/3", "download", "a"}).error, "");
  EXPECT_EQ(Parse({"--trace", "-", "--json", "download", "a"}).error, "");
  // Help wins over anything else on the line.
  EXPECT_TRUE(Parse({"--bogus", "--help"}).options.help);
  EXPECT_EQ(Parse({"--bogus", "--help"}).error, "");
}

Outcome Made(Outcome::Kind kind, HeaderRefusal refusal = {}, Verdict verdict = {},
             bool lineLost = false) {
  Outcome o = Outcome::Of(kind);
  o.refusal = refusal;
  o.verdict = verdict;
  o.lineLost = lineLost;
  return o;
}

TEST(CliExitStatus, EachTransferOutcomeHasItsStatusAndLine) {
  using K = Outcome::Kind;
  struct Case {
    const char* name;
    Command command;
    Outcome outcome;
    int status;
    bool explained;  // a line of the front end's own says why (no box did)
  };
  Outcome shortUpload = Made(K::UploadIncomplete);
  shortUpload.done = 1000, shortUpload.total = 4096;
  const Case cases[] = {
      {"download complete", Command::Download, Made(K::Complete, {}, {.complete = true}), kDone,
       false},
      {"refused, hw", Command::Download, Made(K::HeaderRefused, {.hw = true}), kHeaderRefused,
       false},
      {"refused, no reason", Command::DownloadSdx, Made(K::HeaderRefused), kHeaderRefused, true},
      {"refused, line lost", Command::Download, Made(K::HeaderRefused, {}, {}, true),
       kPortUnavailable, false},
      {"checksum and complete", Command::Download,
       Made(K::Rejected, {}, {.checksumError = true, .complete = true}), kDataRejected, false},
      {"verify error, line lost", Command::Download,
       Made(K::Rejected, {}, {.verifyError = true}, true), kDataRejected, false},
      {"complete, line lost", Command::Download, Made(K::Complete, {}, {.complete = true}, true),
       kPortUnavailable, false},
      {"no verdict", Command::Download, Made(K::Stopped), kDataRejected, true},
      {"invalid image", Command::Download, Made(K::InvalidFile), kFileError, false},
      {"upload complete", Command::Upload, Made(K::UploadCompleted), kDone, false},
      {"upload shorter than announced", Command::Upload, shortUpload, kDataRejected, true},
      {"upload cut short", Command::Upload, Made(K::Stopped), kDataRejected, true},
      {"upload write failed", Command::Upload,
       Outcome::FileFailure("up.bin", "No space left on device"), kFileError, true},
      {"temu ended", Command::DownloadTemu, Made(K::TemuEnded), kDone, false},
      {"temu line lost", Command::DownloadTemu, Made(K::Stopped, {}, {}, true), kPortUnavailable,
       false},
  };
  for (const Case& c : cases) {
    const Report r = TransferReport(c.command, c.outcome);
    if (c.outcome.kind == K::UploadIncomplete) {  // the size and the size announced
      EXPECT_NE(r.error.find("after 1000 of the 4096 data bytes"), std::string::npos);
    }
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(!r.error.empty(), c.explained) << c.name;
  }
}

TEST(CliExitStatus, OnlyAReadyFileIsAChoice) {
  using K = Outcome::Kind;
  EXPECT_EQ(SelectionReport(Outcome::Of(K::Ready), "a.bin").status, kDone);
  EXPECT_EQ(SelectionReport(Outcome::Of(K::ReplaceDeclined), "a.bin").error,
            "a.bin exists; --force replaces it");
  EXPECT_EQ(SelectionReport(Outcome::Of(K::Cancelled), "a.bin").error, "a.bin cannot be used");
  const Report failed =
      SelectionReport(Outcome::FileFailure("a.bin", "Permission denied"), "a.bin");
  EXPECT_EQ(failed.status, kFileError);
  EXPECT_EQ(failed.error, "a.bin: Permission denied") << "the box held the reason alone";
}

// A file error's line says which file, once.
TEST(CliExitStatus, FileErrorLineNamesThePathOnce) {
  EXPECT_EQ(FileErrorLine(Outcome::FileFailure("/x/no/up.bin", "No such file or directory")),
            "/x/no/up.bin: No such file or directory");
  EXPECT_EQ(FileErrorLine(Outcome::FileFailure("fifo", "fifo: a named pipe, not a regular file")),
            "fifo: a named pipe, not a regular file");
  EXPECT_EQ(FileErrorLine(Outcome::Of(Outcome::Kind::Complete)), "");
}

#ifndef _WIN32
// The loop's wait reports the handles that are ready among those it is given now: one left
// out is not reported though it is readable, and one given again is.
TEST(CliReadiness, ReportsTheReadyAmongTheHandlesOfEachWait) {
  // Pipes 0 and 1 are the ones looked at; the rest only make the wait a large one.
  std::vector<std::array<int, 2>> pipes(12);
  for (auto& p : pipes) ASSERT_EQ(::pipe(p.data()), 0);
  using H = std::vector<std::intptr_t>;
  H many{-1};
  for (std::size_t k = 2; k < pipes.size(); ++k) many.push_back(pipes[k][0]);
  const auto with = [&](H first) {
    first.insert(first.end(), many.begin(), many.end());
    return first;
  };
  ASSERT_EQ(::write(pipes[1][1], "x", 1), 1);
  Readiness wait;
  const std::chrono::microseconds now{0};
  for (const bool large : {true, false}) {
    SCOPED_TRACE(large ? "many handles" : "a few");
    const auto ready = [&](H h) {
      auto got = wait.Wait(large ? with(h) : h, false, now);
      got.resize(h.size());
      return got;
    };
    EXPECT_EQ(ready(H{pipes[0][0], pipes[1][0]}), (std::vector<bool>{false, true}));
    EXPECT_EQ(ready(H{pipes[0][0]}), std::vector<bool>{false}) << "left out";
    EXPECT_EQ(ready(H{pipes[1][0], pipes[0][0]}), (std::vector<bool>{true, false}))
        << "given again";
  }
  for (auto& p : pipes) ::close(p[0]), ::close(p[1]);
}
#endif

}  // namespace
}  // namespace kelvane::cli
