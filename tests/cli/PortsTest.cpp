// The run over several ports and the events it reads: per-port file names, the arguments
// of each port's process, the board of states, the summary and the event log's pacing.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/CliOptions.h"
#include "cli/Events.h"
#include "cli/ExitStatus.h"
#include "cli/Json.h"
#include "cli/MultiPort.h"
#include "cli/PortBoard.h"

#include "support/Platform.h"

namespace kelvane::cli {
namespace {

using namespace std::chrono_literals;

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

TEST(CliPorts, AProcessPerPortRunsTheSameCommandWithEvents) {
  struct Row {
    std::vector<std::string> args;
    const char* port;
    const char* file;   // as the port's process gets it
    const char* trace;  // as the port's process gets it
  };
  const Row rows[] = {
      {.args = {"-p", "COM1", "-p", "/dev/ttyUSB0", "--timeout", "2.5", "download", "img.bin"},
       .port = "/dev/ttyUSB0",
       .file = "img.bin",
       .trace = ""},
      {.args = {"-p", "COM1", "-p", "COM2", "--trace", "t.txt", "download", "--sdx", "l.sdx"},
       .port = "COM2",
       .file = "l.sdx",
       .trace = "t-COM2.txt"},
      {.args = {"-p", "COM1", "-p", "COM2", "download", "--temu", "--", "-card.sgn"},
       .port = "COM1",
       .file = "-card.sgn",
       .trace = ""},
      {.args = {"--force", "-p", "/dev/pts/3", "-p", "COM2", "upload", "back.bin"},
       .port = "/dev/pts/3",
       .file = "back-3.bin",
       .trace = ""},
  };
  for (const Row& r : rows) {
    const ParseResult all = ParseArguments(r.args);
    ASSERT_EQ(all.error, "") << r.args.back();
    const ParseResult one = ParseArguments(PortArguments(all.options, r.port));
    ASSERT_EQ(one.error, "") << r.args.back();
    EXPECT_EQ(one.options.ports, std::vector<std::string>{r.port});
    EXPECT_TRUE(one.options.json);
    EXPECT_EQ(one.options.command, all.options.command);
    EXPECT_EQ(one.options.file, r.file);
    EXPECT_EQ(one.options.trace, r.trace);
    EXPECT_EQ(one.options.force, all.options.force);
    EXPECT_EQ(one.options.timeoutSeconds, all.options.timeoutSeconds);
  }
}

TEST(CliPorts, PortsThatCannotRunTogetherAreUsageErrors) {
  for (auto args : {std::vector<std::string>{"-p", "COM1", "-p", "COM2", "info", "a.bin"},
                    {"-p", "COM1", "-p", "com1", "download", "a.bin"},
                    {"-p", "/dev/pts/3", "-p", "/dev/pts/3", "download", "a.bin"},
                    {"-p", "COM1", "-p", "COM2", "--trace", "-", "download", "a.bin"},
                    {"-p", "/dev/pts/3", "-p", "/tmp/3", "upload", "a.bin"},
                    {"-p", "/dev/pts/3", "-p", "/tmp/3", "--trace", "t", "download", "a.bin"},
                    {"--trace", "", "download", "a.bin"}})
    EXPECT_NE(ParseArguments(args).error, "") << ::testing::PrintToString(args);
  // The same last name is no clash when nothing is written per port.
  EXPECT_EQ(ParseArguments({"-p", "/dev/pts/3", "-p", "/tmp/3", "download", "a.bin"}).error, "");
  EXPECT_EQ(ParseArguments({"--trace", "-", "--json", "download", "a.bin"}).error, "");
}

TEST(CliPorts, TheBoardFollowsEachPortAndTheWorstStatusWins) {
  PortBoard board({"COM1", "/dev/pts/7", "/dev/pts/9"});
  EXPECT_EQ(board.StatusLine(0), "COM1        opening");
  board.Feed(0, R"({"event":"start","port":"COM1","device":"/dev/ttyS0","size":102764})");
  EXPECT_EQ(board.StatusLine(0), "COM1        waiting for the receiver");
  board.Feed(
      0,
      R"({"event":"progress","done":51200,"total":102400,"percent":50,"rate":11520,"seconds_left":4.44})");
  EXPECT_EQ(board.StatusLine(0), "COM1        51k/102K     50.0 %    11.5 kB/s  0:04 left");
  const auto msg =
      board.Feed(1, R"({"event":"message","text":"HW version is not matched","kind":"error"})");
  EXPECT_EQ(msg.event, "message");
  EXPECT_EQ(msg.text, "HW version is not matched");
  EXPECT_EQ(board.Feed(1, "kelvane-cli: not an event").event, "");

  board.Feed(
      0,
      R"({"event":"progress","done":102400,"total":102400,"percent":100,"rate":11520,"seconds_left":0})");
  board.Feed(0, R"({"event":"message","text":"Kelvane Complete","kind":"info"})");
  board.Feed(0, R"({"event":"end","status":0,"bytes":102400})");
  board.Feed(2, R"({"event":"notice","text":"timed out: nothing arrived for 60 s"})");
  board.Exited(0, kDone, 9.2);
  board.Exited(1, kHeaderRefused, 0.4);
  board.Exited(2, kTimedOut, 61);
  EXPECT_EQ(board.StatusLine(1), "/dev/pts/7  header refused: HW version is not matched");
  EXPECT_EQ(board.Table(),
            "PORT        DEVICE      VERDICT                                     BYTES  TIME\n"
            "COM1        /dev/ttyS0  done: Kelvane Complete                     102400  0:09\n"
            "/dev/pts/7  -           header refused: HW version is not matched       0  0:00\n"
            "/dev/pts/9  -           timed out: nothing arrived for 60 s             0  1:01\n");
  EXPECT_EQ(board.Worst(), kTimedOut);
  EXPECT_TRUE(board.Port(0).endSeen);
  EXPECT_FALSE(board.Port(2).endSeen);
  EXPECT_EQ(
      board.EndEventFor(2),
      R"({"event":"end","port":"/dev/pts/9","status":7,"status_name":"timed_out","bytes":0,"seconds":61})");
  EXPECT_EQ(board.SummaryEvent(),
            R"({"event":"summary","status":7,"status_name":"timed_out","ports":3,"failed":2})");
}

TEST(CliPorts, APortWhoseProcessVanishedCountsAsStopped) {
  PortBoard board({"COM1", "COM2"});
  board.Exited(0, kDone, 1);
  EXPECT_EQ(board.Worst(), kStopped);  // COM2 has no status yet
  EXPECT_EQ(board.StatusLine(1), "COM2  opening");
}

// The event lines written into memory.
struct Captured {
#ifdef _WIN32
  // No memory streams on Windows: a temporary file, read back whole.
  Captured() { file = std::tmpfile(); }
  ~Captured() { std::fclose(file); }
  std::string Text() {
    std::fflush(file);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
  }
#else
  Captured() { file = ::open_memstream(&data, &size); }
  ~Captured() {
    std::fclose(file);
    std::free(data);
  }
  std::string Text() {
    std::fflush(file);
    return std::string(data, size);
  }
#endif
  std::vector<JsonFields> Events() {
    std::vector<JsonFields> out;
    const std::string text = Text();
    for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
      auto f = ParseJsonObject(text.substr(at, nl - at));
      EXPECT_TRUE(f.has_value()) << text.substr(at, nl - at);
      if (f) out.push_back(*f);
    }
    return out;
  }
  std::FILE* file = nullptr;
  char* data = nullptr;
  std::size_t size = 0;
};

TEST(CliEvents, ProgressComesAFewTimesASecondAndAlwaysAtTheEnd) {
  Captured c;
  EventLog log(c.file, "COM3");
  const EventLog::Clock::time_point t0{};
  auto step = [](std::int64_t done, double rate) {
    return TransferProgress{
        .done = done,
        .total = 4096,
        .percent = done * 100.0 / 4096,
        .bytesPerSecond = rate,
        .secondsLeft = rate > 0 ? std::optional<double>((4096 - done) / rate) : std::nullopt};
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
  const auto ev = c.Events();
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(NumberField(ev[0], "done"), 0);
  EXPECT_EQ(ev[0].at("seconds_left").type, JsonValue::Type::Null);  // no rate yet
  EXPECT_EQ(NumberField(ev[1], "done"), 2048);
  EXPECT_EQ(NumberField(ev[1], "seconds_left"), 2048.0 / 1e4);
  EXPECT_EQ(NumberField(ev[1], "percent"), 50);
  EXPECT_EQ(NumberField(ev[2], "done"), 4096);
  EXPECT_EQ(StringField(ev[3], "event"), "end");
  EXPECT_EQ(NumberField(ev[3], "bytes"), 4096);  // no outcome: the last progress
  EXPECT_EQ(StringField(ev[3], "status_name"), "done");
  EXPECT_EQ(ev[3].at("outcome").type, JsonValue::Type::Null);
  EXPECT_EQ(StringField(ev[4], "outcome"), "header_refused");
  for (const auto& e : ev) EXPECT_EQ(StringField(e, "port"), "COM3");
}

TEST(CliEvents, EveryExitStatusHasAStableName) {
  const char* names[] = {"done",           "usage",         "port_unavailable", "file_error",
                         "header_refused", "data_rejected", "stopped",          "timed_out"};
  for (int s = kDone; s <= kTimedOut; ++s) EXPECT_STREQ(StatusName(s), names[s]) << s;
  EXPECT_STREQ(StatusName(127), "unknown");
}

}  // namespace
}  // namespace kelvane::cli
