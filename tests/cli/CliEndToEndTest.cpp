// kelvane-cli against the receiver emulator over a pseudo-terminal: every command, every
// exit status, and the bytes that crossed the line compared with the files.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// A child process with its standard output and error on pipes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  pid_t Pid() const { return pid_; }

  // The first line of standard output (the receiver's device path).
  std::string FirstLine(milliseconds limit = seconds(10)) {
    const auto deadline = steady_clock::now() + limit;
    while (outText_.find('\n') == std::string::npos && steady_clock::now() < deadline)
      if (!ReadSome(deadline)) break;
    return outText_.substr(0, outText_.find('\n'));
  }

  // Waits for the exit, killing the child when it takes longer than limit.
  Result Wait(milliseconds limit = seconds(30)) {
    const auto deadline = steady_clock::now() + limit;
    while (ReadSome(deadline)) {
    }
    Result r;
    int status = 0;
    if (steady_clock::now() >= deadline) ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = outText_;
    r.err = errText_;
    return r;
  }

 private:
  // Reads what either pipe has; false once both are at their end or the deadline passed.
  bool ReadSome(steady_clock::time_point deadline) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const int open = (out_ >= 0) + (err_ >= 0);
    if (open == 0) return false;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return false;
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
      } else {
        (i == 0 ? outText_ : errText_).append(buf, static_cast<std::size_t>(n));
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string outText_, errText_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class CliEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fs::temp_directory_path() / ("kelvane-cli-e2e-" + std::to_string(::getpid())));
    fs::create_directories(*root_ / "config");
    fs::create_directories(*root_ / "tmp");
    fs::create_directories(*root_ / "samples");
    // The settings and temporary folders of the children are the test's own.
    ::setenv("XDG_CONFIG_HOME", (*root_ / "config").c_str(), 1);
    ::setenv("TMPDIR", (*root_ / "tmp").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Child samples({KELVANE_SAMPLES, (*root_ / "samples").string()});
    ASSERT_EQ(samples.Wait().status, 0);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*root_, ec);
    delete root_;
  }

  void SetUp() override {
    dir_ = *root_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir_);
  }

  static fs::path Sample(const char* name) { return *root_ / "samples" / name; }

  // Starts the emulator; its device path is known once this returns.
  std::unique_ptr<Child> Receiver(std::vector<std::string> args) {
    args.insert(args.begin(), {KELVANE_RECEIVER, "--timeout", "10"});
    auto rx = std::make_unique<Child>(args);
    pty_ = rx->FirstLine();
    EXPECT_FALSE(pty_.empty()) << "the emulator did not start";
    return rx;
  }

  Result Cli(std::vector<std::string> args, milliseconds limit = seconds(30)) {
    args.insert(args.begin(), KELVANE_CLI);
    Child cli(args);
    return cli.Wait(limit);
  }

  Result Cli(std::initializer_list<std::string> args) { return Cli(std::vector<std::string>(args)); }

  static fs::path* root_;
  fs::path dir_;
  std::string pty_;
};

fs::path* CliEndToEnd::root_ = nullptr;

TEST_F(CliEndToEnd, DownloadSendsTheImageByteForByte) {
  for (const char* name : {"sample.bin", "sample-prefixed.bin"}) {
    const fs::path image = Sample(name);
    const auto saved = dir_ / (std::string(name) + ".rx");
    const bool prefixed = std::string(name).find("prefixed") != std::string::npos;
    const auto data = fs::file_size(image) - (prefixed ? 68 : 64);
    auto rx = Receiver({"accept", "--save", saved.string(), "--length", std::to_string(data)});
    const Result r = Cli({"--port", pty_, "download", image.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Kelvane Complete\n");
    EXPECT_NE(r.err.find("HW version : 1.05"), std::string::npos) << r.err;
    const Result rr = rx->Wait();
    EXPECT_EQ(rr.status, 0) << rr.err;
    EXPECT_EQ(ReadFile(saved), ReadFile(image)) << name;
  }
}

TEST_F(CliEndToEnd, HeaderVerdictsGiveStatusFour) {
  struct Case {
    const char* verdict;
    const char* out;
  } cases[] = {
      {"12", "HW version is not matched\n"},
      {"13", "SW version is lower\n"},
      {"14", "Model ID is not matched\n"},
      {"12,14", "HW version is not matched\nModel ID is not matched\n"},
      {"11", ""},  // refused without a reason: no message, still a refusal
  };
  for (const Case& c : cases) {
    auto rx = Receiver({"accept", "--verdict", c.verdict});
    const Result r = Cli({"--quiet", "--port", pty_, "download", Sample("sample.bin").string()});
    EXPECT_EQ(r.status, 4) << c.verdict << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.verdict;
    if (*c.out) {
      const std::string first(c.out, std::strchr(c.out, '\n'));
      EXPECT_NE(r.err.find("kelvane-cli: " + first), std::string::npos) << r.err;
    }
    rx->Wait();
  }
}

TEST_F(CliEndToEnd, FinalVerdictsGiveStatusFive) {
  for (auto [final, text] : {std::pair{"15", "CheckSUM Error\n"}, std::pair{"16", "Verify Error\n"}}) {
    auto rx = Receiver({"accept", "--final", final});
    const Result r = Cli({"--quiet", "--port", pty_, "download", Sample("sample.bin").string()});
    EXPECT_EQ(r.status, 5) << final << ": " << r.err;
    EXPECT_EQ(r.out, text);
    rx->Wait();
  }
}

TEST_F(CliEndToEnd, FileErrorsSendNothing) {
  const fs::path bad = dir_ / "bad.bin";
  std::ofstream(bad) << "not an image at all, but long enough to hold a header of sixty-four bytes";
  auto rx = Receiver({"--timeout", "1", "accept"});
  Result r = Cli({"--port", pty_, "download", bad.string()});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "Invalid File format\n");
  EXPECT_NE(r.err.find("kelvane-cli: Invalid File format"), std::string::npos);
  const Result rr = rx->Wait();
  EXPECT_NE(rr.out.find("received 0 bytes"), std::string::npos) << rr.out;

  r = Cli({"--port", pty_, "download", (dir_ / "missing.bin").string()});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("missing.bin"), std::string::npos) << r.err;
  r = Cli({"info", bad.string()});
  EXPECT_EQ(r.status, 3);
  r = Cli({"download", "--temu", (dir_ / "missing.sgn").string()});
  EXPECT_EQ(r.status, 3);
}

TEST_F(CliEndToEnd, UploadWritesTheReceiversImageAndReplacesOnlyWithForce) {
  const fs::path image = Sample("sample.bin");
  const fs::path target = dir_ / "up.bin";
  auto rx = Receiver({"serve", image.string()});
  Result r = Cli({"--port", pty_, "upload", target.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Upload Completed\n");
  rx->Wait();
  // The header and whole blocks: the image, then the rest of its last block.
  const std::string got = ReadFile(target), want = ReadFile(image);
  ASSERT_EQ(got.size(), 64 + 1024 * ((want.size() - 64 + 1023) / 1024));
  EXPECT_EQ(got.substr(0, want.size()), want);

  std::ofstream(target, std::ios::trunc) << "keep me";
  rx = Receiver({"--timeout", "1", "serve", image.string()});
  r = Cli({"--port", pty_, "upload", target.string()});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(target), "keep me");
  rx->Wait();

  rx = Receiver({"serve", image.string()});
  r = Cli({"--force", "--port", pty_, "upload", target.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(target).substr(0, want.size()), want);
  rx->Wait();

  // A target in a folder that does not exist cannot be written.
  rx = Receiver({"--timeout", "1", "serve", image.string()});
  r = Cli({"--port", pty_, "upload", (dir_ / "no" / "such" / "dir.bin").string()});
  EXPECT_EQ(r.status, 3) << r.err;
  rx->Wait();
}

TEST_F(CliEndToEnd, SdxConvertsAndSendsTheContainer) {
  const fs::path out = dir_ / "converted";
  fs::create_directories(out);
  Result r = Cli({"sdx", Sample("channels.sdx").string(), out.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string container = ReadFile(out / "satcodx.tm1");
  ASSERT_GE(container.size(), 64u);
  EXPECT_EQ(container.substr(64), ReadFile(out / "satcodx.tm0"));

  const fs::path saved = dir_ / "list.rx";
  auto rx = Receiver({"accept", "--save", saved.string(), "--length", std::to_string(container.size() - 64)});
  r = Cli({"--port", pty_, "download", "--sdx", Sample("channels.sdx").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Kelvane Complete\n");
  rx->Wait();
  EXPECT_EQ(ReadFile(saved), container);
  // The private folder of the conversion is gone.
  EXPECT_TRUE(fs::is_empty(*root_ / "tmp"));

  r = Cli({"sdx", Sample("channels.sdx").string(), (dir_ / "absent").string()});
  EXPECT_EQ(r.status, 3);
}

TEST_F(CliEndToEnd, TemuServesTheFileUntilTheEndRequest) {
  auto rx = Receiver({"temu", Sample("card.sgn").string(), "--chunk", "700"});
  const Result r = Cli({"--port", pty_, "download", "--temu", Sample("card.sgn").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const Result rr = rx->Wait();
  EXPECT_EQ(rr.status, 0) << rr.out << rr.err;
}

TEST_F(CliEndToEnd, SilenceSignalsAndLostLines) {
  // A receiver that never gives its header verdict: the wait ends after the timeout.
  auto rx = Receiver({"accept", "--silent-from", "0"});
  auto start = steady_clock::now();
  Result r = Cli({"--timeout", "1", "--port", pty_, "download", Sample("sample.bin").string()});
  EXPECT_EQ(r.status, 7) << r.err;
  EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  rx.reset();

  // Ctrl-C during a transfer stops it as the Stop button does.
  rx = Receiver({"accept", "--ack-delay", "100"});
  {
    Child cli({KELVANE_CLI, "--port", pty_, "download", Sample("sample.bin").string()});
    std::this_thread::sleep_for(milliseconds(800));
    ::kill(cli.Pid(), SIGINT);
    r = cli.Wait(seconds(10));
  }
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_EQ(r.out, "");
  rx.reset();

  // The far end goes away in the middle of the data.
  rx = Receiver({"accept", "--hang-up-after", "3"});
  r = Cli({"--quiet", "--port", pty_, "download", Sample("sample.bin").string()});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.out.find("Serial Port is not available"), std::string::npos);
  rx.reset();

  // A port that is not there names the device and the devices that are.
  r = Cli({"--port", (dir_ / "ttyNONE").string(), "download", Sample("sample.bin").string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("ttyNONE"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no such device"), std::string::npos) << r.err;
}

TEST_F(CliEndToEnd, InfoPortsUsageAndSettings) {
  Result r = Cli({"info", Sample("sample-prefixed.bin").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("Model")), "HW version : 1.05\nSW version : 2.0A.03\n");
  EXPECT_EQ(r.out.rfind("Model ID : 1205    ", r.out.find("Model")), r.out.find("Model"));

  r = Cli({"ports"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8);
  EXPECT_EQ(r.out.rfind("COM1", 0), 0u);

  EXPECT_EQ(Cli({"frobnicate"}).status, 1);
  r = Cli({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("download --temu FILE"), std::string::npos);

  // Whatever ran before, the window's settings were never written.
  EXPECT_TRUE(fs::is_empty(*root_ / "config")) << "the front end wrote settings";
}

}  // namespace
