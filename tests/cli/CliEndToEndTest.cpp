// kelvane-cli against the receiver emulator over a pseudo-terminal: every command, every
// exit status, and the bytes that crossed the line compared with the files.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <thread>

#include "support/Scratch.h"

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
  const char* out = nullptr;             // standard output exactly, when given
  std::vector<std::string> has = {};     // each found in standard output or error
  const char* got = nullptr;             // a file the run writes ...
  const char* want = nullptr;            // ... holding this file (up to the FF filler) or text
  const char* existing = nullptr;        // `got` holds this text before the run
  int rxStatus = 0;                      // the emulator's exit status; -1: not waited for, -2: any
  const char* rxSays = nullptr;          // in the emulator's summary
  std::vector<std::string> before = {};  // a command that must succeed first
  int interruptAfterMs = 0;              // SIGINT to the command line after this long ...
  std::vector<int> signals = {};         // ... or these signals, back to back
  std::vector<std::string> hasNot = {};  // none found in standard output or error
  const char* fifo = nullptr;            // a named pipe made under this name first ...
  const char* loop = nullptr;            // ... a symbolic link to itself
  const char* stdoutTo = nullptr;        // standard output goes to this file
};

void PrintTo(const Case& r, std::ostream* os) { *os << r.name; }

const std::vector<std::string> kDownload = {"--port", "@pty", "download", "@s/sample.bin"};
const std::vector<std::string> kQuietDownload = {"--quiet", "--port", "@pty", "download",
                                                 "@s/sample.bin"};

const Case kCases[] = {
    {.name = "DownloadPlain",
     .receiver = {"accept", "--save", "@d/rx"},
     .cli = kDownload,
     .status = 0,
     .out = "Kelvane Complete\n",
     .has = {"HW version : 1.05"},
     .got = "@d/rx",
     .want = "@s/sample.bin"},
    {.name = "DownloadSdx",
     .receiver = {"accept", "--save", "@d/rx"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"},
     .status = 0,
     .out = "Kelvane Complete\n",
     .got = "@d/rx",
     .want = "@d/satcodx.tm1",
     .before = {"sdx", "@s/channels.sdx", "@d/"}},
    {.name = "HwRefused",
     .receiver = {"accept", "--verdict", "12"},
     .cli = kQuietDownload,
     .status = 4,
     .out = "HW version is not matched\n",
     .has = {"kelvane-cli: HW version is not matched"}},
    {.name = "ChecksumError",
     .receiver = {"accept", "--final", "15"},
     .cli = kQuietDownload,
     .status = 5,
     .out = "CheckSUM Error\n"},
    {.name = "BadImageSendsNothing",
     .receiver = {"--timeout", "1", "accept"},
     .cli = {"--port", "@pty", "download", "@s/bad.bin"},
     .status = 3,
     .out = "Invalid File format\n",
     .has = {"kelvane-cli: Invalid File format"},
     .rxStatus = -2,
     .rxSays = "received 0 bytes"},
    {.name = "MissingImage",
     .receiver = {"--timeout", "1", "accept"},
     .cli = {"--port", "@pty", "download", "@d/missing.bin"},
     .status = 3,
     .has = {"missing.bin"},
     .rxStatus = -1},
    {.name = "MissingTemuFile", .cli = {"download", "--temu", "@d/missing.sgn"}, .status = 3},
    {.name = "Upload",
     .receiver = {"serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/up.bin"},
     .status = 0,
     .out = "Upload Completed\n",
     .got = "@d/up.bin",
     .want = "@s/sample.bin"},
    {.name = "UploadKeepsAnExistingFile",
     .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/up.bin"},
     .status = 3,
     .has = {"--force"},
     .got = "@d/up.bin",
     .want = "keep me",
     .existing = "keep me",
     .rxStatus = -1,
     .hasNot = {"Replace existing file"}},
    // --force consents to the replacement; a receiver that never answers gives nothing to put
    // in the file's place, so it stays.
    {.name = "UploadWithForceToASilentReceiverKeepsTheFile",
     .receiver = {"--timeout", "2", "serve", "@s/sample.bin", "--ignore-ready", "100"},
     .cli = {"--force", "--timeout", "1", "--port", "@pty", "upload", "@d/up.bin"},
     .status = 7,
     .got = "@d/up.bin",
     .want = "keep me",
     .existing = "keep me",
     .rxStatus = -1},
    // Whatever is not a regular file is refused at once, with its path and what it is.
    {.name = "DownloadOfANamedPipe",
     .receiver = {"--timeout", "1", "accept"},
     .cli = {"--timeout", "5", "--port", "@pty", "download", "@d/pipe"},
     .status = 3,
     .has = {"pipe: a named pipe, not a regular file"},
     .rxStatus = -1,
     .fifo = "pipe"},
    {.name = "UploadToANamedPipe",
     .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/pipe"},
     .status = 3,
     .has = {"pipe: a named pipe, not a regular file"},
     .rxStatus = -2,
     .rxSays = "received 0 bytes",
     .fifo = "pipe"},
    {.name = "UploadToAFolder",
     .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/"},
     .status = 3,
     .has = {"UploadToAFolder/: a folder, not a regular file"},
     .rxStatus = -1},
    {.name = "SdxOfADevice",
     .cli = {"sdx", "/dev/zero", "@d/"},
     .status = 3,
     .has = {"/dev/zero: a device"}},
    {.name = "InfoOfALinkLoop",
     .cli = {"info", "@d/loop"},
     .status = 3,
     .has = {"loop: Too many levels of symbolic links"},
     .loop = "loop"},
    // A list named like the conversion's own result is not given up for it.
    {.name = "SdxOfItsOwnResult",
     .cli = {"sdx", "@d/satcodx.tm0", "@d/"},
     .status = 3,
     .has = {"satcodx.tm0 is the file the conversion writes its result to"},
     .got = "@d/satcodx.tm0",
     .want = "keep me",
     .existing = "keep me"},
    // A file without channel records is refused, and nothing is sent.
    {.name = "SdxOfAProgramImage",
     .cli = {"sdx", "@s/sample.bin", "@d/"},
     .status = 3,
     .has = {"sample.bin holds no channels"}},
    {.name = "DownloadSdxOfAProgramImage",
     .receiver = {"--timeout", "1", "accept"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/sample.bin"},
     .status = 3,
     .has = {"sample.bin holds no channels"},
     .rxStatus = -1},
    {.name = "SdxTellsTheSizesItWrote",
     .cli = {"sdx", "@s/channels.sdx", "@d/"},
     .status = 0,
     .has = {"satcodx.tm0: 2688 bytes", "satcodx.tm1: 2752 bytes"}},
    {.name = "UploadWithForceReplaces",
     .receiver = {"serve", "@s/sample.bin"},
     .cli = {"--force", "--port", "@pty", "upload", "@d/up.bin"},
     .status = 0,
     .has = {"Upload Completed"},
     .got = "@d/up.bin",
     .want = "@s/sample.bin",
     .existing = "keep me"},
    {.name = "UploadToAMissingFolder",
     .receiver = {"--timeout", "1", "serve", "@s/sample.bin"},
     .cli = {"--port", "@pty", "upload", "@d/no/such/dir.bin"},
     .status = 3,
     .has = {"no/such/dir.bin: No such file or directory"},
     .rxStatus = -1},
    {.name = "Temu",
     .receiver = {"temu", "@s/card.sgn", "--chunk", "700"},
     .cli = {"--port", "@pty", "download", "--temu", "@s/card.sgn"},
     .status = 0,
     .out = ""},
    {.name = "SilentReceiverTimesOut",
     .receiver = {"accept", "--silent-from", "0"},
     .cli = {"--timeout", "1", "--port", "@pty", "download", "@s/sample.bin"},
     .status = 7,
     .has = {"timed out"},
     .rxStatus = -1},
    // A closed terminal stops the transfer as Ctrl-C does: the receiver still gets its end of
    // data, and the temporary folder of the converted list is removed.
    {.name = "HangUpStops",
     .receiver = {"accept", "--ack-delay", "500"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"},
     .status = 6,
     .has = {"stopped by a signal"},
     .rxStatus = 1,
     .rxSays = "the PC ended the data after",
     .interruptAfterMs = 400,
     .signals = {SIGHUP}},
    // A second Ctrl-C ends the program at once, but not before the temporary folder is gone.
    {.name = "SecondInterruptEndsAtOnce",
     .receiver = {"accept", "--ack-delay", "500"},
     .cli = {"--port", "@pty", "download", "--sdx", "@s/channels.sdx"},
     .status = 6,
     .rxStatus = -1,
     .interruptAfterMs = 400,
     .signals = {SIGINT, SIGINT}},
    {.name = "ReceiverHangsUp",
     .receiver = {"accept", "--hang-up-after", "3"},
     .cli = kQuietDownload,
     .status = 2,
     .has = {"Serial Port is not available"},
     .rxStatus = -1},
    // The demo's emulator serves a prefixed image without its prefix (its other exchanges are
    // the window's end-to-end test's).
    {.name = "AnyServesAnUpload",
     .receiver = {"--count", "1", "any", "--image", "@s/sample-prefixed.bin"},
     .cli = {"--port", "@pty", "upload", "@d/up.bin"},
     .status = 0,
     .out = "Upload Completed\n",
     .got = "@d/up.bin",
     .want = "@s/sample.bin",
     .rxSays = "upload 1 ok"},
    {.name = "MissingPort",
     .cli = {"--port", "@d/ttyNONE", "download", "@s/sample.bin"},
     .status = 2,
     .has = {"ttyNONE", "no such device"}},
    {.name = "Info",
     .cli = {"info", "@s/sample-prefixed.bin"},
     .status = 0,
     .out = "HW version : 1.05\nSW version : 2.0A.03\nModel ID : 1205    DEMO RECEIVER\n"},
    {.name = "InfoOfABadImage", .cli = {"info", "@s/bad.bin"}, .status = 3},
    {.name = "Ports", .cli = {"ports"}, .status = 0, .has = {"COM1: ", "COM8: "}},
    {.name = "SdxToAMissingFolder", .cli = {"sdx", "@s/channels.sdx", "@d/absent"}, .status = 3},
    {.name = "Help", .cli = {"--help"}, .status = 0, .has = {"download --temu FILE"}},
    {.name = "OutputThatCannotBeWritten",
     .cli = {"info", "@s/sample.bin"},
     .status = 3,
     .has = {"standard output: No space left on device"},
     .stdoutTo = "/dev/full"},
    {.name = "UnknownCommand",
     .cli = {"frobnicate"},
     .status = 1,
     .out = "",
     .has = {"unknown command"}},
    {.name = "BadOption",
     .cli = {"--timeout", "0", "ports"},
     .status = 1,
     .out = "",
     .has = {"--timeout"}},
};

class Cli : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<Scratch>("kelvane-cli-e2e");
    root_ = scratch_->root;
    ASSERT_TRUE(scratch_->samplesMade);
    std::ofstream(root_ / "samples" / "bad.bin")
        << "not an image at all, but long enough to hold a header of 64 bytes";
  }
  static void TearDownTestSuite() { scratch_.reset(); }
  // The arguments expanded, behind the program when one is named.
  std::vector<std::string> Expand(const std::vector<std::string>& args,
                                  const char* program = nullptr) const {
    std::vector<std::string> out;
    if (program) out.push_back(program);
    for (std::string a : args) {
      if (a.starts_with("@s/")) a = (root_ / "samples" / a.substr(3)).string();
      if (a.starts_with("@d/")) a = (dir_ / a.substr(3)).string();
      out.push_back(a == "@pty" ? pty_ : a);
    }
    return out;
  }
  std::string At(const char* arg) const { return Expand({arg})[0]; }

  static inline std::unique_ptr<Scratch> scratch_;
  static inline fs::path root_;
  fs::path dir_;
  std::string pty_;
};

TEST_P(Cli, Runs) {
  const Case& r = GetParam();
  dir_ = root_ / r.name;
  fs::create_directories(dir_);
  if (!r.before.empty()) {
    ASSERT_EQ(Child(Expand(r.before, KELVANE_CLI)).Wait().status, 0);
  }
  std::unique_ptr<Child> rx;
  if (!r.receiver.empty()) {
    rx = StartReceiver(Expand(r.receiver), pty_);
    ASSERT_FALSE(pty_.empty());
  }
  if (r.existing) std::ofstream(At(r.got)) << r.existing;
  if (r.fifo) {
    ASSERT_EQ(::mkfifo((dir_ / r.fifo).c_str(), 0600), 0);
  }
  if (r.loop) fs::create_symlink(r.loop, dir_ / r.loop);

  Child cli(Expand(r.cli, KELVANE_CLI), r.stdoutTo ? r.stdoutTo : "");
  if (r.interruptAfterMs) {  // Ctrl-C stops a transfer as the Stop button does
    std::this_thread::sleep_for(milliseconds(r.interruptAfterMs));
    for (int s : r.signals.empty() ? std::vector<int>{SIGINT} : r.signals) ::kill(cli.Pid(), s);
  }
  const Result res = cli.Wait(seconds(30));
  EXPECT_EQ(res.status, r.status) << res.err;
  if (r.out) {
    EXPECT_EQ(res.out, r.out);
  }
  for (const auto& h : r.has)
    EXPECT_NE((res.out + res.err).find(h), std::string::npos) << res.out << res.err;
  for (const auto& h : r.hasNot)
    EXPECT_EQ((res.out + res.err).find(h), std::string::npos) << res.out << res.err;
  if (rx && r.rxStatus != -1) {
    const Result rr = rx->Wait(seconds(15));
    if (r.rxStatus >= 0) {
      EXPECT_EQ(rr.status, r.rxStatus) << rr.err;
    }
    if (r.rxSays) {
      EXPECT_NE(rr.out.find(r.rxSays), std::string::npos) << rr.out;
    }
  }
  if (r.got) {
    const Bytes got = ReadBytes(At(r.got));
    const Bytes want =
        *r.want == '@' ? ReadBytes(At(r.want)) : Bytes(r.want, r.want + std::strlen(r.want));
    EXPECT_TRUE(*r.want == '@' ? SameUpToFiller(got, want) : got == want)
        << got.size() << " bytes in " << r.got;
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
  Scratch scratch("kelvane-cli-loop");
  const fs::path dir = scratch.root;
  Child cli(
      {KELVANE_CLI, "--timeout", "2.5", "--port", plug.slave, "upload", (dir / "up.bin").string()});
  const Result res = cli.Wait(seconds(20), [&] {
    if (const Bytes b = plug.ReadAvailable(); !b.empty()) plug.Write(b);
  });
  EXPECT_EQ(res.status, 7) << res.err;
  EXPECT_NE(res.err.find("loopback plug"), std::string::npos) << res.err;
  EXPECT_NE(res.err.find("timed out"), std::string::npos) << res.err;
  EXPECT_FALSE(fs::exists(dir / "up.bin")) << "nothing came to put there";
}

INSTANTIATE_TEST_SUITE_P(E2e, Cli, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::test
