// The run over several ports: per-port file names, the board of states, the summary, and the
// event log's pacing and fields.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/CliOptions.h"
#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/PortBoard.h"
#include "cli/TraceFile.h"
#include "support/MemoryFile.h"
#include "support/Platform.h"

namespace kelvane::cli {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(CliPorts, EachPortWritesItsOwnFile) {
  KELVANE_SKIP_ON_WINDOWS("Linux device paths with a colon, a separator there");
  struct Row {
    const char *file, *port, *want;
  };
  const Row rows[] = {
      {.file = "backup.bin", .port = "/dev/ttyUSB0", .want = "backup-ttyUSB0.bin"},
      {.file = "backup", .port = "com2", .want = "backup-COM2"},
      {.file = "dir.d/backup", .port = "COM3", .want = "dir.d/backup-COM3"},
      {.file = "/tmp/.trace", .port = "/dev/pts/4", .want = "/tmp/.trace-4"},
      {.file = "a/b.tar.gz", .port = "/dev/serial/by-id/usb-X:1 y", .want = "a/b.tar-usb-X_1_y.gz"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(PortFileName(r.file, r.port), r.want) << r.file << " " << r.port;
}

TEST(CliPorts, TheBoardFollowsEachPortAndTheWorstStatusWins) {
  PortBoard board({"COM1", "/dev/pts/7", "/dev/pts/9"});
  EXPECT_EQ(board.StatusLine(0), "COM1        opening");
  board.Started(0, "/dev/ttyS0");
  EXPECT_EQ(board.StatusLine(0), "COM1        waiting for the receiver");
  board.Progressed(0, {51200, 102400, 50, 11520, 4.44});  // done, total, %, B/s, s left
  EXPECT_EQ(board.StatusLine(0), "COM1        51k/102K     50.0 %    11.5 kB/s  0:04 left");
  board.Message(1, "HW version is not matched");
  board.Message(0, "Kelvane Complete");
  board.Notice(2, "timed out: nothing arrived for 60 s");
  EXPECT_EQ(board.Worst(), kStopped);  // ports still running count as stopped
  board.Ended(0, kDone, 102400, 9.2);
  board.Ended(1, kHeaderRefused, 0, 0.4);
  board.Ended(2, kTimedOut, 0, 61);
  EXPECT_EQ(board.StatusLine(1), "/dev/pts/7  header refused: HW version is not matched");
  EXPECT_EQ(board.Table(),
            "PORT        DEVICE      VERDICT                                     BYTES  TIME\n"
            "COM1        /dev/ttyS0  done: Kelvane Complete                     102400  0:09\n"
            "/dev/pts/7  -           header refused: HW version is not matched       0  0:00\n"
            "/dev/pts/9  -           timed out: nothing arrived for 60 s             0  1:01\n");
  EXPECT_EQ(board.Worst(), kTimedOut);
  EXPECT_EQ(board.SummaryEvent(),
            R"({"event":"summary","status":7,"status_name":"timed_out","ports":3,"failed":2})");
}

// A trace replaces an existing file only with --force and only once complete; a second
// signal gives every port's trace its name with what it holds.
TEST(CliTrace, AnExistingFileIsKeptUntilTheTraceIsComplete) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kelvane-trace-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string a = (dir / "a.txt").string(), b = (dir / "b.txt").string();
  std::ofstream(a) << "old";
  auto text = [](const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  std::string error;
  TraceFile refused;
  EXPECT_FALSE(refused.Open(a, false, error));
  EXPECT_EQ(error, a + " exists; --force replaces it");

  {  // closed before the folder goes: Windows removes no folder with a file open in it
    TraceFile first, second;
    ASSERT_TRUE(first.Open(a, true, error)) << error;
    ASSERT_TRUE(second.Open(b, false, error)) << error;
    std::fputs("one", first.File());
    std::fputs("two", second.File());
    std::fflush(first.File());
    std::fflush(second.File());
    EXPECT_EQ(text(a), "old");
    TraceFile::CommitInSignalHandler();
    EXPECT_EQ(text(a), "one");
    EXPECT_EQ(text(b), "two");
  }
  fs::remove_all(dir);
}

// The event lines written into memory.
struct Captured : test::MemoryFile {
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    const std::string text = Text();
    for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
      out.push_back(text.substr(at, nl - at));
    return out;
  }
};

TEST(CliEvents, ProgressComesAFewTimesASecondAndAlwaysAtTheEnd) {
  Captured c;
  EventLog log(c.file, "COM3");
  const EventLog::Clock::time_point t0{};
  auto step = [](std::int64_t done, double rate) {
    return TransferProgress{done, 4096, done * 100.0 / 4096, rate,
                            rate > 0 ? std::optional<double>((4096 - done) / rate) : std::nullopt};
  };
  log.Progress(step(0, 0), t0);               // the first: sent
  log.Progress(step(1024, 1e4), t0 + 100ms);  // too soon: dropped
  log.Progress(step(2048, 1e4), t0 + 250ms);  // sent
  log.Progress(step(3072, 1e4), t0 + 300ms);  // too soon: dropped
  log.Progress(step(4096, 1e4), t0 + 310ms);  // the last: sent at once
  log.Progress(step(4096, 1e4), t0 + 320ms);  // again: dropped
  log.End(kDone, nullptr, 0.5);
  Outcome refused = Outcome::Of(Outcome::Kind::HeaderRefused);
  log.End(kHeaderRefused, &refused, 0.5);
  std::vector<json> ev;
  for (const auto& line : c.Lines()) ev.push_back(json::parse(line));
  ASSERT_EQ(ev.size(), 5u);
  for (int i : {0, 1, 2}) EXPECT_EQ(ev[i]["done"], 2048 * i) << i;
  EXPECT_EQ(ev[0]["seconds_left"], nullptr);
  EXPECT_EQ(ev[1]["seconds_left"], 2048.0 / 1e4);
  EXPECT_EQ(ev[3]["outcome"], nullptr);
  EXPECT_EQ(ev[3]["bytes"], 4096) << "no outcome: the bytes of the last progress";
  EXPECT_EQ(ev[4]["outcome"], "header_refused");
}

}  // namespace
}  // namespace kelvane::cli
