// kelvane-cli for service benches, against the receiver emulator over pseudo-terminals:
// the --json events of a download, an upload, a refused header and a Stop; the bytes of a
// --trace; several ports in one command, with a silent line among them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/Json.h"
#include "support/Scratch.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using cli::JsonFields;
using cli::NumberField;
using cli::ParseJsonObject;
using cli::StringField;

std::vector<JsonFields> Events(const std::string& out) {
  std::vector<JsonFields> events;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    auto f = ParseJsonObject(line);
    EXPECT_TRUE(f.has_value()) << "not a JSON object: " << line;
    if (f) events.push_back(std::move(*f));
  }
  return events;
}

std::vector<std::string> Names(const std::vector<JsonFields>& events) {
  std::vector<std::string> names;
  for (const auto& e : events) names.push_back(StringField(e, "event").value_or("?"));
  return names;
}

// The events named `name`.
std::vector<JsonFields> Only(const std::vector<JsonFields>& events, const std::string& name) {
  std::vector<JsonFields> out;
  for (const auto& e : events)
    if (StringField(e, "event") == name) out.push_back(e);
  return out;
}

class Bench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<Scratch>("kelvane-bench-e2e");
    fs::create_directories(scratch_->root / "work");
    ASSERT_TRUE(scratch_->samplesMade);
  }
  static void TearDownTestSuite() { scratch_.reset(); }
  static std::string Sample(const char* name) { return scratch_->Sample(name); }
  static std::string Work(const std::string& name) {
    return (scratch_->root / "work" / name).string();
  }
  static std::unique_ptr<Child> Receiver(std::vector<std::string> args, std::string& pty) {
    return StartReceiver(std::move(args), pty);
  }
  static Result Cli(std::vector<std::string> args, int interruptAfterMs = 0) {
    args.insert(args.begin(), KELVANE_CLI);
    Child cli(args);
    if (interruptAfterMs) {
      std::this_thread::sleep_for(milliseconds(interruptAfterMs));
      ::kill(cli.Pid(), SIGINT);
    }
    return cli.Wait(seconds(30));
  }

  static inline std::unique_ptr<Scratch> scratch_;
};

TEST_F(Bench, JsonEventsOfADownload) {
  std::string pty;
  auto rx = Receiver({"accept"}, pty);
  const Result r = Cli({"--json", "--port", pty, "download", Sample("sample.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // with --json everything is an event
  const auto ev = Events(r.out);
  ASSERT_GE(ev.size(), 5u);
  EXPECT_EQ(Names(ev).front(), "start");
  EXPECT_EQ(Names(ev)[1], "header");
  EXPECT_EQ(Names(ev).back(), "end");
  for (const auto& e : ev) EXPECT_EQ(StringField(e, "port"), pty);

  EXPECT_EQ(StringField(ev[0], "command"), "download");
  EXPECT_EQ(StringField(ev[0], "type"), "program");
  EXPECT_EQ(StringField(ev[0], "device"), pty);
  EXPECT_EQ(StringField(ev[0], "file"), Sample("sample.bin"));
  EXPECT_EQ(NumberField(ev[0], "size"), static_cast<double>(fs::file_size(Sample("sample.bin"))));
  EXPECT_EQ(StringField(ev[1], "hw_version"), "HW version : 1.05");
  EXPECT_EQ(StringField(ev[1], "sw_version"), "SW version : 2.0A.03");
  EXPECT_EQ(StringField(ev[1], "model_id"), "Model ID : 1205    DEMO RECEIVER");

  const auto progress = Only(ev, "progress");
  ASSERT_FALSE(progress.empty());
  double last = -1;
  for (const auto& p : progress) {
    EXPECT_GE(*NumberField(p, "done"), last);
    last = *NumberField(p, "done");
  }
  EXPECT_EQ(NumberField(progress.back(), "done"), NumberField(ev[0], "size"));
  EXPECT_EQ(NumberField(progress.back(), "total"), NumberField(ev[0], "size"));
  EXPECT_EQ(NumberField(progress.back(), "percent"), 100);

  const auto messages = Only(ev, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(StringField(messages[0], "text"), "Kelvane Complete");
  EXPECT_EQ(StringField(messages[0], "kind"), "info");
  EXPECT_EQ(NumberField(ev.back(), "status"), 0);
  EXPECT_EQ(StringField(ev.back(), "status_name"), "done");
  EXPECT_EQ(StringField(ev.back(), "outcome"), "complete");
  EXPECT_EQ(NumberField(ev.back(), "bytes"), NumberField(ev[0], "size"));
}

TEST_F(Bench, JsonEventsOfAnUploadCarryTheReceiversHeader) {
  std::string pty;
  auto rx = Receiver({"serve", Sample("sample.bin")}, pty);
  const Result r = Cli({"--json", "--port", pty, "upload", Work("up.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto ev = Events(r.out);
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(StringField(ev[0], "command"), "upload");
  EXPECT_EQ(ev[0].at("size").type, cli::JsonValue::Type::Null);  // not known before the header
  const auto header = Only(ev, "header");
  ASSERT_EQ(header.size(), 1u);
  EXPECT_EQ(StringField(header[0], "hw_version"), "HW version : 1.05");
  EXPECT_EQ(Names(ev)[1], "header");  // as soon as it arrives, before the blocks
  const auto messages = Only(ev, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(StringField(messages[0], "text"), "Upload Completed");
  EXPECT_EQ(StringField(ev.back(), "status_name"), "done");
  EXPECT_FALSE(Only(ev, "progress").empty());
}

// A download that does not complete: what was said, in order, and how it ended.
TEST_F(Bench, JsonEventsOfARefusedHeaderAndOfAStop) {
  const struct {
    const char* name;
    std::vector<std::string> receiver;
    int interruptAfterMs;
    int status;
    std::vector<std::string> said;  // "event kind: text" of the messages and notices
    const char* statusName;         // of the end, and its outcome
    bool none;                      // no byte sent; else fewer than the image's
  } cases[] = {
      {.name = "refused",
       .receiver = {"accept", "--verdict", "12,14"},
       .interruptAfterMs = 0,
       .status = 4,
       .said = {"message error: HW version is not matched",
                "message error: Model ID is not matched"},
       .statusName = "header_refused",
       .none = true},
      {.name = "stopped",
       .receiver = {"accept", "--ack-delay", "100"},
       .interruptAfterMs = 800,
       .status = 6,
       .said = {"notice ?: stopped by a signal"},
       .statusName = "stopped",
       .none = false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string pty;
    auto rx = Receiver(c.receiver, pty);
    const Result r =
        Cli({"--json", "--port", pty, "download", Sample("sample.bin")}, c.interruptAfterMs);
    EXPECT_EQ(r.status, c.status) << r.err;
    const auto ev = Events(r.out);
    ASSERT_FALSE(ev.empty());
    std::vector<std::string> said;
    for (const auto& e : ev)
      if (e.count("text"))
        said.push_back(*StringField(e, "event") + " " + StringField(e, "kind").value_or("?") +
                       ": " + *StringField(e, "text"));
    EXPECT_EQ(said, c.said);
    EXPECT_EQ(NumberField(ev.back(), "status"), c.status);
    EXPECT_EQ(StringField(ev.back(), "status_name"), c.statusName);
    EXPECT_EQ(StringField(ev.back(), "outcome"), c.statusName);
    if (c.none)
      EXPECT_EQ(NumberField(ev.back(), "bytes"), 0);
    else
      EXPECT_LT(*NumberField(ev.back(), "bytes"),
                static_cast<double>(fs::file_size(Sample("sample.bin"))));
  }
}

// The trace as runs of bytes in one direction: consecutive lines of one direction joined.
std::vector<std::pair<std::string, Bytes>> TraceRuns(const std::string& path) {
  std::vector<std::pair<std::string, Bytes>> runs;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string time, dir;
    std::size_t count = 0;
    fields >> time >> dir;
    if (dir != "in" && dir != "out") continue;  // a note
    fields >> count;
    Bytes bytes;
    for (std::string hex; fields >> hex;)
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
    EXPECT_EQ(bytes.size(), count) << line;
    if (runs.empty() || runs.back().first != dir) runs.emplace_back(dir, Bytes{});
    runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
  }
  return runs;
}

TEST_F(Bench, TheTraceHoldsEveryByteThatCrossedInOrder) {
  const std::string trace = Work("download.trace");
  std::string pty;
  auto rx = Receiver({"accept"}, pty);
  const Result r =
      Cli({"--quiet", "--trace", trace, "--port", pty, "download", Sample("sample.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  const Result rr = rx->Wait(seconds(15));
  ASSERT_EQ(rr.status, 0) << rr.out << rr.err;

  // What the exchange must have looked like: the ready byte (perhaps repeated while the
  // PC was opening), 08 and the header, its 10, then every block and its 10, then 03 and
  // the final verdict.
  const Bytes image = ReadBytes(Sample("sample.bin"));
  std::vector<std::pair<std::string, Bytes>> want;
  want.emplace_back("out", Bytes{0x08});
  want.back().second.insert(want.back().second.end(), image.begin(), image.begin() + 64);
  want.emplace_back("in", Bytes{0x10});
  for (std::size_t at = 64; at < image.size(); at += 1024) {
    Bytes block{0x02, 0x00, 0xFF};
    const std::size_t n = std::min<std::size_t>(1024, image.size() - at);
    block.insert(block.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                 image.begin() + static_cast<std::ptrdiff_t>(at + n));
    block.resize(3 + 1024, 0xFF);
    block.insert(block.end(), {0x00, 0xFF});
    want.emplace_back("out", block);
    want.emplace_back("in", Bytes{0x10});
  }
  want.emplace_back("out", Bytes{0x03});
  want.emplace_back("in", Bytes{0x17});

  auto got = TraceRuns(trace);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got.front().first, "in");
  EXPECT_FALSE(got.front().second.empty());
  for (std::uint8_t b : got.front().second) EXPECT_EQ(b, 0x01);
  got.erase(got.begin());
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first) << "run " << i;
    EXPECT_EQ(got[i].second, want[i].second) << "run " << i;
  }
}

TEST_F(Bench, ATraceReplacesAnExistingFileOnlyWithForceAndOnlyWhenComplete) {
  const std::string kept = Work("kept.trace");
  std::ofstream(kept) << "an earlier trace";
  std::string pty;
  auto rx = Receiver({"--timeout", "1", "accept"}, pty);
  Result r = Cli({"--trace", kept, "--port", pty, "download", Sample("sample.bin")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  const Bytes earlier = ReadBytes(kept);
  EXPECT_EQ(std::string(earlier.begin(), earlier.end()), "an earlier trace");

  for (const char* bad : {"/dev/null", "no/such/folder/t.trace"}) {
    r = Cli({"--force", "--trace", bad[0] == '/' ? bad : Work(bad), "--port", pty, "download",
             Sample("sample.bin")});
    EXPECT_EQ(r.status, 3) << bad;
  }

  std::string pty2;
  auto rx2 = Receiver({"accept"}, pty2);
  r = Cli({"--force", "--trace", kept, "--port", pty2, "download", Sample("sample.bin")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(TraceRuns(kept).size(), 200u);
  std::size_t files = 0;  // no temporary file is left beside it
  for (const auto& e : fs::directory_iterator(scratch_->root / "work"))
    files += e.path().string().starts_with(kept);
  EXPECT_EQ(files, 1u);
}

TEST_F(Bench, ATraceKeepsWhatCrossedWhenTheProgramIsInterruptedTwice) {
  const std::string trace = Work("hung.trace");
  std::string pty;
  auto rx = Receiver({"accept", "--silent-from", "3"}, pty);
  Child cli(
      {KELVANE_CLI, "--quiet", "--trace", trace, "--port", pty, "download", Sample("sample.bin")});
  std::this_thread::sleep_for(milliseconds(2000));  // the receiver went quiet after block 2
  // Two different signals are both delivered, the second before the first is acted on:
  // the program ends at once, without closing the port.
  ::kill(cli.Pid(), SIGTERM);
  ::kill(cli.Pid(), SIGINT);
  EXPECT_EQ(cli.Wait(seconds(10)).status, 6);
  std::ifstream in(trace);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.find("port closed"), std::string::npos);
  std::size_t blocks = 0;
  for (const auto& [dir, bytes] : TraceRuns(trace)) blocks += dir == "out" && bytes.size() == 1029;
  EXPECT_EQ(blocks, 3u);  // every block sent before the silence
}

TEST_F(Bench, SeveralPortsEachGetAVerdictAndTheWorstStatusWins) {
  std::string a, b;
  auto rxA = Receiver({"accept", "--save", Work("a.bin")}, a);
  auto rxB = Receiver({"accept", "--save", Work("b.bin")}, b);
  Pty silent;  // a line nobody answers on
  ASSERT_FALSE(silent.slave.empty());
  const Result r = Cli({"--json", "--timeout", "1", "--port", a, "--port", silent.slave, "--port",
                        b, "download", Sample("sample.bin")});
  EXPECT_EQ(r.status, 7) << r.err;
  const auto ev = Events(r.out);
  std::map<std::string, JsonFields> ends;
  for (const auto& e : Only(ev, "end")) ends[StringField(e, "port").value_or("")] = e;
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(StringField(ends[a], "status_name"), "done");
  EXPECT_EQ(StringField(ends[b], "status_name"), "done");
  EXPECT_EQ(StringField(ends[silent.slave], "status_name"), "timed_out");
  const auto summary = Only(ev, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(NumberField(summary[0], "status"), 7);
  EXPECT_EQ(NumberField(summary[0], "failed"), 1);
  EXPECT_EQ(Names(ev).back(), "summary");
  // Both receivers got the whole image.
  EXPECT_TRUE(SameUpToFiller(ReadBytes(Work("a.bin")), ReadBytes(Sample("sample.bin"))));
  EXPECT_TRUE(SameUpToFiller(ReadBytes(Work("b.bin")), ReadBytes(Sample("sample.bin"))));
}

TEST_F(Bench, SeveralPortsEndWithASummaryTable) {
  std::string a, b;
  auto rxA = Receiver({"accept"}, a);
  auto rxB = Receiver({"accept", "--verdict", "13"}, b);
  const Result r = Cli({"--port", a, "--port", b, "download", Sample("sample.bin")});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find(a + ": Kelvane Complete\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(b + ": SW version is lower\n"), std::string::npos) << r.out;
  const std::size_t table = r.out.find("PORT ");
  ASSERT_NE(table, std::string::npos) << r.out;
  std::istringstream rows(r.out.substr(table));
  std::string header, rowA, rowB;
  std::getline(rows, header), std::getline(rows, rowA), std::getline(rows, rowB);
  for (const char* column : {"DEVICE", "VERDICT", "BYTES", "TIME"})
    EXPECT_NE(header.find(column), std::string::npos);
  EXPECT_TRUE(rowA.starts_with(a + " ")) << rowA;
  EXPECT_NE(rowA.find("done: Kelvane Complete"), std::string::npos) << rowA;
  EXPECT_TRUE(rowB.starts_with(b + " ")) << rowB;
  EXPECT_NE(rowB.find("header refused: SW version is lower"), std::string::npos) << rowB;
}

TEST_F(Bench, ACtrlCStopsEveryPort) {
  std::string a, b;
  auto rxA = Receiver({"accept", "--ack-delay", "100"}, a);
  auto rxB = Receiver({"accept", "--ack-delay", "100"}, b);
  const auto started = steady_clock::now();
  const Result r =
      Cli({"--json", "--port", a, "--port", b, "download", Sample("sample.bin")}, 1000);
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_LT(steady_clock::now() - started, seconds(5));  // stopped, not finished (10 s)
  const auto ends = Only(Events(r.out), "end");
  ASSERT_EQ(ends.size(), 2u);
  for (const auto& e : ends) EXPECT_EQ(StringField(e, "status_name"), "stopped");
  // Each stopped as the Stop button stops: the receiver still got the end of data (a
  // killed process would leave it waiting).
  for (auto* rx : {rxA.get(), rxB.get()}) {
    const Result rr = rx->Wait(seconds(15));
    EXPECT_NE(rr.out.find("the PC ended the data after"), std::string::npos) << rr.out << rr.err;
  }
}

}  // namespace
}  // namespace kelvane::test
