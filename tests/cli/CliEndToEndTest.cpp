// kelvane-cli against the receiver emulator over pseudo-terminals: what only a real line
// shows. Each transfer type, a stop by signal, the events of --json, --port auto and several
// ports in one process, with the bytes that crossed compared with the files.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/Scratch.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using nlohmann::json;

// One run. In arguments "@s/" stands for the samples folder, "@d/" for the run's own folder
// and "@pty" for the emulator's device.
struct Case {
  const char* name;
  std::vector<std::string> receiver;  // the emulator's arguments; empty: no emulator
  std::vector<std::string> cli;
  int status;
  const char* out = nullptr;          // standard output exactly, when given
  std::vector<std::string> has = {};  // each found in standard output or error
  const char* got = nullptr;          // a file the run writes ...
  const char* want = nullptr;         // ... holding this file (up to the FF filler) or text
  const char* existing = nullptr;     // `got` holds this text before the run
  const char* rxSays = nullptr;       // in the emulator's summary (waited for when given)
  std::vector<int> signals = {};      // sent to the command line 400 ms in, back to back
  rlim_t fileLimit = 0;               // the command line cannot grow a file past this many bytes
};

// clang-format off
const Case kCases[] = {
    {.name = "DownloadProgram", .receiver = {"accept", "--save", "@d/rx"},
     .cli = {"--port", "@pty", "download", "@s/sample.bin"}, .status = 0,
     .out = "Kelvane Complete\n", .has = {"HW version : 1.05"}, .got = "@d/rx", .want = "@s/sample.bin"},
    {.name = "DownloadSdx", .receiver = {"accept", "--save", "@d/rx"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, .status = 0,
     .out = "Kelvane Complete\n", .rxSays = "accept ok"},
    {.name = "DownloadTemu", .receiver = {"temu", "@s/card.sgn", "--chunk", "700"},
     .cli = {"--port", "@pty", "download", "--temu", "@s/card.sgn"}, .status = 0},
    {.name = "Upload", .receiver = {"serve", "@s/sample.bin"},
     .cli = {"--force", "--port", "@pty", "upload", "@d/up.bin"}, .status = 0,
     .out = "Upload Completed\n", .got = "@d/up.bin", .want = "@s/sample.bin", .existing = "replaced"},
    // Line noise holding 08 before the header's 08 55 AA 55 AA is dropped.
    {.name = "UploadAfterNoiseHolding08",
     .receiver = {"serve", "@s/sample.bin", "--noise-hex", "08,41,08,55,AA,55,17"},
     .cli = {"--port", "@pty", "upload", "@d/up.bin"}, .status = 0,
     .out = "Upload Completed\n", .got = "@d/up.bin", .want = "@s/sample.bin"},
    // A block or header that cannot be stored is not acknowledged: the run ends at once, and
    // the file it would have replaced stays as it was.
    {.name = "UploadBlockNotStored", .receiver = {"serve", "@s/sample.bin"},
     .cli = {"--force", "--port", "@pty", "upload", "@d/up.bin"}, .status = 3, .has = {"File too large"},
     .got = "@d/up.bin", .want = "keep me", .existing = "keep me", .rxSays = ", 1 blocks,", .fileLimit = 64 + 1024},
    {.name = "UploadHeaderNotStored", .receiver = {"serve", "@s/sample.bin"},
     .cli = {"--force", "--port", "@pty", "upload", "@d/up.bin"}, .status = 3, .has = {"File too large"},
     .got = "@d/up.bin", .want = "keep me", .existing = "keep me", .rxSays = ", 0 blocks,", .fileLimit = 40},
    // Only a verdict after the last block's 10 is the image's: a 17 on the line before the
    // ready byte, or joined to a block's 10 before the last, is stale and the run times out.
    {.name = "StaleCompleteInsteadOfReady", .receiver = {"accept", "--ready", "5D,07,00,17"},
     .cli = {"--json", "--timeout", "2", "--port", "@pty", "download", "@s/sample.bin"}, .status = 7,
     .has = {R"("status":7,"status_name":"timed_out","outcome":"stopped")"}},
    {.name = "StaleCompleteJoinedToABlocksAck", .receiver = {"accept", "--join-at", "2"},
     .cli = {"--timeout", "2", "--port", "@pty", "download", "@s/sample.bin"}, .status = 7,
     .out = "", .has = {"timed out"}, .rxSays = "10 of block 2 joined with the final verdict 17"},
    // --force consents; a receiver that never answers gives nothing to put in its place.
    {.name = "SilentReceiverTimesOutAndTheFileStays",
     .receiver = {"--timeout", "3", "serve", "@s/sample.bin", "--ignore-ready", "100"},
     .cli = {"--force", "--timeout", "1", "--port", "@pty", "upload", "@d/up.bin"}, .status = 7,
     .has = {"timed out"}, .got = "@d/up.bin", .want = "keep me", .existing = "keep me"},
    {.name = "ReceiverHangsUp", .receiver = {"accept", "--hang-up-after", "3"},
     .cli = {"--quiet", "--port", "@pty", "download", "@s/sample.bin"}, .status = 2,
     .has = {"Serial Port is not available"}},
    // A closed terminal stops as Stop does: the receiver still gets its end of data, and the
    // converted list's folder is removed.
    {.name = "HangUpStops", .receiver = {"accept", "--ack-delay", "500"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, .status = 6,
     .has = {"stopped by a signal"}, .rxSays = "the PC ended the data after", .signals = {SIGHUP}},
    {.name = "SecondInterruptEndsAtOnce", .receiver = {"accept", "--ack-delay", "500"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, .status = 6,
     .signals = {SIGINT, SIGINT}},
    // Without a line: the checks before anything is sent.
    {.name = "BadImageSendsNothing", .receiver = {"--timeout", "1", "accept"},
     .cli = {"--port", "@pty", "download", "@s/bad.bin"}, .status = 3,
     .out = "Invalid File format\n", .rxSays = "received 0 bytes"},
    {.name = "UploadKeepsAnExistingFile", .receiver = {},
     .cli = {"--port", "@d/ttyNONE", "upload", "@d/up.bin"}, .status = 3,
     .has = {"--force"}, .got = "@d/up.bin", .want = "keep me", .existing = "keep me"},
    {.name = "UploadToAFolderIsRefusedBeforeTheLine", .receiver = {},
     .cli = {"--force", "--port", "@d/ttyNONE", "upload", "@d/"}, .status = 3,
     .has = {"/: a folder, not a regular file"}},
    {.name = "MissingPort", .receiver = {},
     .cli = {"--port", "@d/ttyNONE", "download", "@s/sample.bin"}, .status = 2,
     .has = {"ttyNONE", "no such device"}},
    {.name = "Info", .receiver = {}, .cli = {"info", "@s/sample-prefixed.bin"}, .status = 0,
     .out = "HW version : 1.05\nSW version : 2.0A.03\nModel ID : 1205    DEMO RECEIVER\n"},
};
// clang-format on

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<Scratch>("kelvane-cli-e2e");
    ASSERT_TRUE(scratch_->samplesMade);
    std::ofstream(scratch_->root / "samples" / "bad.bin")
        << "not an image at all, but long enough to hold a header of 64 bytes";
  }
  static void TearDownTestSuite() { scratch_.reset(); }
  static fs::path Root() { return scratch_->root; }
  static std::string Sample(const char* name) { return scratch_->Sample(name); }
  // Com n stands for the n-th of these devices in the window's settings.
  static void Map(const std::vector<std::string>& devices) {
    fs::create_directories(Root() / "config/Kelvane");
    std::ofstream ini(Root() / "config/Kelvane/Kelvane.ini");
    ini << "[Ports]\n";
    for (std::size_t i = 0; i < devices.size(); ++i)
      ini << "COM" << i + 1 << "=" << devices[i] << "\n";
  }
  static std::vector<json> Events(const std::string& out) {
    std::vector<json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      events.push_back(json::parse(line, nullptr, false));
      EXPECT_TRUE(events.back().is_object()) << line;
    }
    return events;
  }
  static std::vector<json> Only(const std::vector<json>& events, const char* name) {
    std::vector<json> out;
    for (const auto& e : events)
      if (e.value("event", "") == name) out.push_back(e);
    return out;
  }

  static inline std::unique_ptr<Scratch> scratch_;
};

TEST_F(Cli, RunsEachTransferOverALine) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Root() / c.name;
    fs::create_directories(dir);
    std::string pty;
    std::unique_ptr<Child> rx;
    auto expand = [&](std::vector<std::string> args) {
      for (std::string& a : args) {
        if (a.starts_with("@s/")) a = Sample(a.c_str() + 3);
        if (a.starts_with("@d/")) a = (dir / a.substr(3)).string();
        if (a == "@pty") a = pty;
      }
      return args;
    };
    if (!c.receiver.empty()) {
      rx = StartReceiver(expand(c.receiver), pty);
      ASSERT_FALSE(pty.empty());
    }
    const std::string got = c.got ? expand({c.got})[0] : "";
    if (c.existing) std::ofstream(got) << c.existing;
    std::vector<std::string> args = expand(c.cli);
    args.insert(args.begin(), KELVANE_CLI);
    // A file limit is this process's only while it starts the command line, which keeps it
    // and SIGXFSZ ignored: a write past the limit then fails with EFBIG.
    rlimit was{};
    ::getrlimit(RLIMIT_FSIZE, &was);
    const rlimit low{c.fileLimit ? c.fileLimit : was.rlim_cur, was.rlim_max};
    const auto handler = std::signal(SIGXFSZ, c.fileLimit ? SIG_IGN : SIG_DFL);
    ::setrlimit(RLIMIT_FSIZE, &low);
    Child cli(args);
    ::setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, handler);
    if (!c.signals.empty()) {
      std::this_thread::sleep_for(milliseconds(400));
      for (int s : c.signals) ::kill(cli.Pid(), s);
    }
    const Result r = cli.Wait(seconds(30));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.out) {
      EXPECT_EQ(r.out, c.out);
    }
    for (const auto& h : c.has)
      EXPECT_NE((r.out + r.err).find(h), std::string::npos) << r.out << r.err;
    if (rx && c.rxSays) {
      const Result rr = rx->Wait(seconds(15));
      EXPECT_NE(rr.out.find(c.rxSays), std::string::npos) << rr.out << rr.err;
    }
    if (c.got) {
      const Bytes want = *c.want == '@' ? ReadBytes(expand({c.want})[0])
                                        : Bytes(c.want, c.want + std::strlen(c.want));
      EXPECT_TRUE(SameUpToFiller(ReadBytes(got), want)) << got;
    }
    // The window's settings are never written, and the converted lists are cleaned up.
    EXPECT_TRUE(fs::is_empty(Root() / "config"));
    EXPECT_TRUE(fs::is_empty(Root() / "tmp"));
  }
}

// A loopback plug (the test gives back every byte) returns the upload's ready byte each
// second: no progress, so --timeout ends the run, and the line is named for what it is.
TEST_F(Cli, ALoopbackIsNamedAndTimesOut) {
  Pty plug;
  const std::string target = (Root() / "loop.bin").string();
  Child cli({KELVANE_CLI, "--timeout", "2.5", "--port", plug.slave, "upload", target});
  const Result r = cli.Wait(seconds(20), [&] {
    if (const Bytes b = plug.ReadAvailable(); !b.empty()) plug.Write(b);
  });
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_NE(r.err.find("loopback plug"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(target)) << "nothing came to put there";
}

TEST_F(Cli, JsonEventsOfADownloadAndOfAnUpload) {
  std::string pty;
  auto rx = StartReceiver({"accept"}, pty);
  const auto size = fs::file_size(Sample("sample.bin"));
  Result r = Child({KELVANE_CLI, "--json", "--port", pty, "download", Sample("sample.bin")}).Wait();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // with --json everything is an event
  auto ev = Events(r.out);
  ASSERT_GE(ev.size(), 5u);
  EXPECT_EQ(ev[0]["event"], "start");
  EXPECT_EQ(ev[0]["device"], pty);
  EXPECT_EQ(ev[0]["size"], size);
  EXPECT_EQ(ev[1]["model_id"], "Model ID : 1205    DEMO RECEIVER");
  EXPECT_EQ(Only(ev, "progress").back()["percent"], 100);
  EXPECT_EQ(Only(ev, "message").at(0)["text"], "Kelvane Complete");
  json end = ev.back();
  EXPECT_TRUE(end.erase("seconds"));
  EXPECT_EQ(end, json::parse(R"({"event":"end","port":")" + pty +
                             R"(","status":0,"status_name":"done","outcome":"complete","bytes":)" +
                             std::to_string(size) + "}"));
  for (const auto& e : ev) EXPECT_EQ(e["port"], pty);

  // The upload's header event comes when the receiver's header does, before the blocks end.
  rx = StartReceiver({"serve", Sample("sample.bin")}, pty);
  r = Child({KELVANE_CLI, "--json", "--port", pty, "upload", (Root() / "json-up.bin").string()})
          .Wait();
  ASSERT_EQ(r.status, 0) << r.err;
  ev = Events(r.out);
  EXPECT_EQ(ev.front()["size"], nullptr);
  const auto header = Only(ev, "header");
  ASSERT_EQ(header.size(), 1u);
  EXPECT_EQ(header[0]["hw_version"], "HW version : 1.05");
  EXPECT_EQ(ev.back()["outcome"], "upload_completed");
}

// Three devices mapped, the receiver on the third: the run listens on all, sends nothing to
// the silent ones, and its events and trace name the device the receiver spoke on.
TEST_F(Cli, PortAutoNamesTheDeviceTheReceiverSpokeOn) {
  Pty first, second;
  std::string emulator;
  auto rx = StartReceiver({"accept"}, emulator);
  Map({first.slave, second.slave, emulator});
  const std::string trace = (Root() / "auto-trace.txt").string();
  const Result r = Child({KELVANE_CLI, "--json", "--trace", trace, "--port", "auto", "download",
                          Sample("sample.bin")})
                       .Wait();
  fs::remove_all(Root() / "config/Kelvane");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto ev = Events(r.out);
  ASSERT_FALSE(Only(ev, "start").empty()) << r.out;
  EXPECT_EQ(Only(ev, "start")[0]["device"], emulator);
  std::ifstream in(trace);
  std::string note;
  std::getline(in, note);
  EXPECT_NE(note.find("(" + emulator + ")"), std::string::npos) << note;
  EXPECT_TRUE(first.ReadAvailable().empty());
  EXPECT_TRUE(second.ReadAvailable().empty());
  EXPECT_EQ(rx->Wait(seconds(15)).status, 0);
}

// Several ports run in this one process: no child is ever started, each port gets its own
// verdict, and the worst status wins.
TEST_F(Cli, SeveralPortsRunInOneProcess) {
  std::string a, b;
  auto rxA =
      StartReceiver({"accept", "--ack-delay", "20", "--save", (Root() / "a.bin").string()}, a);
  auto rxB = StartReceiver({"accept", "--ack-delay", "20", "--verdict", "13"}, b);
  Child cli({KELVANE_CLI, "--port", a, "--port", b, "download", Sample("sample.bin")});
  const std::string children =
      "/proc/" + std::to_string(cli.Pid()) + "/task/" + std::to_string(cli.Pid()) + "/children";
  bool forked = false;
  const Result r = cli.Wait(seconds(30), [&] {
    std::ifstream f(children);
    std::string pids;
    std::getline(f, pids);
    forked = forked || !pids.empty();
  });
#ifndef __SANITIZE_ADDRESS__  // LeakSanitizer's tracer at exit is a child of the process
  EXPECT_FALSE(forked);
#endif
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find(a + ": Kelvane Complete\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(b + ": SW version is lower\n"), std::string::npos) << r.out;
  const std::size_t table = r.out.find("PORT ");
  ASSERT_NE(table, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("done: Kelvane Complete", table), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("header refused: SW version is lower", table), std::string::npos);
  EXPECT_TRUE(
      SameUpToFiller(ReadBytes((Root() / "a.bin").string()), ReadBytes(Sample("sample.bin"))));
}

TEST_F(Cli, ACtrlCStopsEveryPortAndTheJsonEndsWithASummary) {
  std::string a, b;
  auto rxA = StartReceiver({"accept", "--ack-delay", "100"}, a);
  auto rxB = StartReceiver({"accept", "--ack-delay", "100"}, b);
  Child cli({KELVANE_CLI, "--json", "--port", a, "--port", b, "download", Sample("sample.bin")});
  std::this_thread::sleep_for(milliseconds(1000));
  ::kill(cli.Pid(), SIGINT);
  const Result r = cli.Wait(seconds(10));
  EXPECT_EQ(r.status, 6) << r.err;
  const auto ev = Events(r.out);
  const auto ends = Only(ev, "end");
  ASSERT_EQ(ends.size(), 2u);
  for (const auto& e : ends) EXPECT_EQ(e["status_name"], "stopped");
  EXPECT_EQ(ev.back(), json::parse(R"({"event":"summary","status":6,"status_name":"stopped",)"
                                   R"("ports":2,"failed":2})"));
  for (auto* rx : {rxA.get(), rxB.get()}) {
    const Result rr = rx->Wait(seconds(15));
    EXPECT_NE(rr.out.find("the PC ended the data after"), std::string::npos) << rr.out;
  }
}

}  // namespace
}  // namespace kelvane::test
