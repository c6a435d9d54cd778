// kelvane-cli against the receiver emulator over a pseudo-terminal: every command, every
// exit status, and the bytes that crossed the line compared with the files.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <thread>

#include "support/Pty.h"

namespace kelvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// One run of the command line. In arguments "@s/" stands for the samples folder, "@d/" for
// the run's own folder and "@pty" for the emulator's device.
struct Case {
  const char* name;
  std::vector<std::string> receiver = {};  // the emulator's arguments; empty: no emulator
  std::vector<std::string> cli = {};
  int status;
  const char* out = nullptr;          // standard output exactly, when given
  std::vector<std::string> has = {};  // each found in standard output or error
  const char* got = nullptr;          // a file the run writes ...
  const char* want = nullptr;         // ... holding this file (up to the FF filler) or text
  const char* existing = nullptr;     // `got` holds this text before the run
  int rxStatus = 0;                   // the emulator's exit status; -1: not waited for, -2: any
  const char* rxSays = nullptr;       // in the emulator's summary
  std::vector<std::string> before = {};  // a command that must succeed first
  int interruptAfterMs = 0;           // SIGINT to the command line after this long ...
  std::vector<int> signals = {};      // ... or these signals, back to back
  std::vector<std::string> hasNot = {};  // none found in standard output or error
  const char* fifo = nullptr;         // a named pipe made under this name first ...
  const char* loop = nullptr;         // ... a symbolic link to itself
  const char* stdoutTo = nullptr;     // standard output goes to this file
};

void PrintTo(const Case& r, std::ostream* os) { *os << r.name; }

const std::vector<std::string> kDownload = {"--port", "@pty", "download", "@s/sample.bin"};
const std::vector<std::string> kQuietDownload = {"--quiet", "--port", "@pty", "download", "@s/sample.bin"};

const Case kCases[] = {
    {"DownloadPlain", {"accept", "--save", "@d/rx"}, kDownload, 0, "Kelvane Complete\n", {"HW version : 1.05"},
     "@d/rx", "@s/sample.bin"},
    {"DownloadPrefixed", {"accept", "--save", "@d/rx"}, {"--port", "@pty", "download", "@s/sample-prefixed.bin"}, 0,
     "Kelvane Complete\n", {}, "@d/rx", "@s/sample-prefixed.bin"},
    {"DownloadSdx", {"accept", "--save", "@d/rx"}, {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, 0,
     "Kelvane Complete\n", {}, "@d/rx", "@d/satcodx.tm1", nullptr, 0, nullptr, {"sdx", "@s/channels.sdx", "@d/"}},
    {"HwRefused", {"accept", "--verdict", "12"}, kQuietDownload, 4, "HW version is not matched\n",
     {"kelvane-cli: HW version is not matched"}},
    {"HwAndModelRefused", {"accept", "--verdict", "12,14"}, kQuietDownload, 4,
     "HW version is not matched\nModel ID is not matched\n"},
    {"RefusedWithoutReason", {"accept", "--verdict", "11"}, kQuietDownload, 4, ""},
    {"ChecksumError", {"accept", "--final", "15"}, kQuietDownload, 5, "CheckSUM Error\n"},
    {"VerifyError", {"accept", "--final", "16"}, kQuietDownload, 5, "Verify Error\n"},
    {"BadImageSendsNothing", {"--timeout", "1", "accept"}, {"--port", "@pty", "download", "@s/bad.bin"}, 3,
     "Invalid File format\n", {"kelvane-cli: Invalid File format"}, nullptr, nullptr, nullptr, -2, "received 0 bytes"},
    {"MissingImage", {"--timeout", "1", "accept"}, {"--port", "@pty", "download", "@d/missing.bin"}, 3, nullptr,
     {"missing.bin"}, nullptr, nullptr, nullptr, -1},
    {"MissingTemuFile", {}, {"download", "--temu", "@d/missing.sgn"}, 3},
    {"Upload", {"serve", "@s/sample.bin"}, {"--port", "@pty", "upload", "@d/up.bin"}, 0, "Upload Completed\n", {},
     "@d/up.bin", "@s/sample.bin"},
    {.name = "UploadKeepsAnExistingFile", .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/up.bin"}, .status = 3, .has = {"--force"}, .got = "@d/up.bin",
     .want = "keep me", .existing = "keep me", .rxStatus = -1, .hasNot = {"Replace existing file"}},
    // --force consents to the replacement; a receiver that never answers gives nothing to put
    // in the file's place, so it stays.
    {.name = "UploadWithForceToASilentReceiverKeepsTheFile", .receiver = {"--timeout", "2", "serve", "@s/sample.bin",
                                                                          "--ignore-ready", "100"},
     .cli = {"--force", "--timeout", "1", "--port", "@pty", "upload", "@d/up.bin"}, .status = 7, .got = "@d/up.bin",
     .want = "keep me", .existing = "keep me", .rxStatus = -1},
    // Whatever is not a regular file is refused at once, with its path and what it is.
    {.name = "DownloadOfANamedPipe", .receiver = {"--timeout", "1", "accept"},
     .cli = {"--timeout", "5", "--port", "@pty", "download", "@d/pipe"}, .status = 3,
     .has = {"pipe: a named pipe, not a regular file"}, .rxStatus = -1, .fifo = "pipe"},
    {.name = "UploadToANamedPipe", .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/pipe"}, .status = 3, .has = {"pipe: a named pipe, not a regular file"},
     .rxStatus = -2, .rxSays = "received 0 bytes", .fifo = "pipe"},
    {.name = "UploadToAFolder", .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/"}, .status = 3, .has = {"UploadToAFolder/: a folder, not a regular file"},
     .rxStatus = -1},
    {.name = "SdxOfADevice", .cli = {"sdx", "/dev/zero", "@d/"}, .status = 3, .has = {"/dev/zero: a device"}},
    {.name = "InfoOfALinkLoop", .cli = {"info", "@d/loop"}, .status = 3, .has = {"loop: Too many levels of symbolic links"},
     .loop = "loop"},
    // A list named like the conversion's own result is not given up for it.
    {.name = "SdxOfItsOwnResult", .cli = {"sdx", "@d/satcodx.tm0", "@d/"}, .status = 3,
     .has = {"satcodx.tm0 is the file the conversion writes its result to"}, .got = "@d/satcodx.tm0",
     .want = "keep me", .existing = "keep me"},
    {.name = "SdxTellsTheSizesItWrote", .cli = {"sdx", "@s/channels.sdx", "@d/"}, .status = 0,
     .has = {"satcodx.tm0: 2688 bytes", "satcodx.tm1: 2752 bytes"}},
    {"UploadWithForceReplaces", {"serve", "@s/sample.bin"}, {"--force", "--port", "@pty", "upload", "@d/up.bin"}, 0,
     nullptr, {"Upload Completed"}, "@d/up.bin", "@s/sample.bin", "keep me"},
    {"UploadToAMissingFolder", {"--timeout", "1", "serve", "@s/sample.bin"},
     {"--port", "@pty", "upload", "@d/no/such/dir.bin"}, 3, nullptr, {"no/such/dir.bin: No such file or directory"},
     nullptr, nullptr, nullptr, -1},
    {"Temu", {"temu", "@s/card.sgn", "--chunk", "700"}, {"--port", "@pty", "download", "--temu", "@s/card.sgn"}, 0, ""},
    {"SilentReceiverTimesOut", {"accept", "--silent-from", "0"},
     {"--timeout", "1", "--port", "@pty", "download", "@s/sample.bin"}, 7, nullptr, {"timed out"}, nullptr, nullptr,
     nullptr, -1},
    {"InterruptStops", {"accept", "--ack-delay", "100"}, kDownload, 6, "", {}, nullptr, nullptr, nullptr, -1, nullptr,
     {}, 800},
    // A closed terminal stops the transfer as Ctrl-C does: the receiver still gets its end of
    // data, and the temporary folder of the converted list is removed.
    {"HangUpStops", {"accept", "--ack-delay", "500"}, {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, 6,
     nullptr, {"stopped by a signal"}, nullptr, nullptr, nullptr, 0, "final verdict", {}, 400, {SIGHUP}},
    // A second Ctrl-C ends the program at once, but not before the temporary folder is gone.
    {"SecondInterruptEndsAtOnce", {"accept", "--ack-delay", "500"},
     {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"}, 6, nullptr, {}, nullptr, nullptr, nullptr, -1,
     nullptr, {}, 400, {SIGINT, SIGINT}},
    {"ReceiverHangsUp", {"accept", "--hang-up-after", "3"}, kQuietDownload, 2, nullptr,
     {"Serial Port is not available"}, nullptr, nullptr, nullptr, -1},
    {"MissingPort", {}, {"--port", "@d/ttyNONE", "download", "@s/sample.bin"}, 2, nullptr, {"ttyNONE", "no such device"}},
    {"Info", {}, {"info", "@s/sample-prefixed.bin"}, 0, "HW version : 1.05\nSW version : 2.0A.03\nModel ID : 1205    DEMO RECEIVER\n"},
    {"InfoOfABadImage", {}, {"info", "@s/bad.bin"}, 3},
    {"Ports", {}, {"ports"}, 0, nullptr, {"COM1: ", "COM8: "}},
    {"SdxToAMissingFolder", {}, {"sdx", "@s/channels.sdx", "@d/absent"}, 3},
    {"Help", {}, {"--help"}, 0, nullptr, {"download --temu FILE"}},
    {.name = "OutputThatCannotBeWritten", .cli = {"info", "@s/sample.bin"}, .status = 3,
     .has = {"standard output: No space left on device"}, .stdoutTo = "/dev/full"},
    {"UnknownCommand", {}, {"frobnicate"}, 1, "", {"unknown command"}},
    {"BadOption", {}, {"--timeout", "0", "ports"}, 1, "", {"--timeout"}},
};

class Cli : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("kelvane-cli-e2e-" + std::to_string(::getpid()));
    for (const char* d : {"config", "tmp", "samples"}) fs::create_directories(root_ / d);
    // The settings and temporary folders of the children are the test's own.
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ASSERT_EQ(Child({KELVANE_SAMPLES, (root_ / "samples").string()}).Wait().status, 0);
    std::ofstream(root_ / "samples" / "bad.bin") << "not an image at all, but long enough to hold a header of 64 bytes";
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::vector<std::string> Expand(const char* program, const std::vector<std::string>& args) const {
    std::vector<std::string> out{program};
    for (std::string a : args) {
      if (a.starts_with("@s/")) a = (root_ / "samples" / a.substr(3)).string();
      if (a.starts_with("@d/")) a = (dir_ / a.substr(3)).string();
      out.push_back(a == "@pty" ? pty_ : a);
    }
    return out;
  }
  std::string At(const char* arg) const { return Expand("", {arg})[1]; }

  static inline fs::path root_;
  fs::path dir_;
  std::string pty_;
};

TEST_P(Cli, Runs) {
  const Case& r = GetParam();
  dir_ = root_ / r.name;
  fs::create_directories(dir_);
  if (!r.before.empty()) {
    ASSERT_EQ(Child(Expand(KELVANE_CLI, r.before)).Wait().status, 0);
  }
  std::unique_ptr<Child> rx;
  if (!r.receiver.empty()) {
    auto args = Expand(KELVANE_RECEIVER, r.receiver);
    args.insert(args.begin() + 1, {"--timeout", "10"});
    rx = std::make_unique<Child>(args);
    pty_ = rx->FirstLine();
    ASSERT_FALSE(pty_.empty()) << "the emulator did not start";
  }
  if (r.existing) std::ofstream(At(r.got)) << r.existing;
  if (r.fifo) {
    ASSERT_EQ(::mkfifo((dir_ / r.fifo).c_str(), 0600), 0);
  }
  if (r.loop) fs::create_symlink(r.loop, dir_ / r.loop);

  Child cli(Expand(KELVANE_CLI, r.cli), r.stdoutTo ? r.stdoutTo : "");
  if (r.interruptAfterMs) {  // Ctrl-C stops a transfer as the Stop button does
    std::this_thread::sleep_for(milliseconds(r.interruptAfterMs));
    for (int s : r.signals.empty() ? std::vector<int>{SIGINT} : r.signals) ::kill(cli.Pid(), s);
  }
  const Result res = cli.Wait(seconds(30));
  EXPECT_EQ(res.status, r.status) << res.err;
  if (r.out) {
    EXPECT_EQ(res.out, r.out);
  }
  for (const auto& h : r.has) EXPECT_NE((res.out + res.err).find(h), std::string::npos) << res.out << res.err;
  for (const auto& h : r.hasNot) EXPECT_EQ((res.out + res.err).find(h), std::string::npos) << res.out << res.err;
  if (rx && r.rxStatus != -1) {
    const Result rr = rx->Wait(seconds(15));
    EXPECT_TRUE(r.rxStatus < 0 || rr.status == r.rxStatus) << rr.status << " " << rr.err;
    EXPECT_NE(rr.out.find(r.rxSays ? r.rxSays : ""), std::string::npos) << rr.out;
  }
  if (r.got) {
    const Bytes got = ReadBytes(At(r.got));
    const Bytes want = *r.want == '@' ? ReadBytes(At(r.want)) : Bytes(r.want, r.want + std::strlen(r.want));
    EXPECT_TRUE(*r.want == '@' ? SameUpToFiller(got, want) : got == want) << got.size() << " bytes in " << r.got;
  }
  // The command line never writes the window's settings, and its conversions clean up.
  EXPECT_TRUE(fs::is_empty(root_ / "config"));
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

// A loopback plug (here: the test gives back every byte) makes the upload's ready byte come
// back each second. That is no progress: --timeout still ends the run, and the line is named
// for what it is.
TEST(CliLine, LoopbackIsNamedAndTimesOut) {
  Pty plug;
  const fs::path dir = fs::temp_directory_path() / ("kelvane-cli-loop-" + std::to_string(::getpid()));
  fs::create_directories(dir / "config");
  ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Child cli({KELVANE_CLI, "--timeout", "2.5", "--port", plug.slave, "upload", (dir / "up.bin").string()});
  const Result res = cli.Wait(seconds(20), [&] {
    if (const Bytes b = plug.ReadAvailable(); !b.empty()) plug.Write(b);
  });
  EXPECT_EQ(res.status, 7) << res.err;
  EXPECT_NE(res.err.find("loopback plug"), std::string::npos) << res.err;
  EXPECT_NE(res.err.find("timed out"), std::string::npos) << res.err;
  EXPECT_FALSE(fs::exists(dir / "up.bin")) << "nothing came to put there";
  std::error_code ec;
  fs::remove_all(dir, ec);
}

INSTANTIATE_TEST_SUITE_P(E2e, Cli, ::testing::ValuesIn(kCases), [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::test
