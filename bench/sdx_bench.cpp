// Throughput of the SDX list conversion on a generated 64 MB list (MPG2 records with
// repeats, other systems in between), run in a temporary working directory on disk: as the
// program runs it (its results flushed to the disk) and without the flushes (the
// conversion's own work; the flush is the disk's).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/FileTable.h"
#include "files/SdxConversion.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kListBytes = 64u << 20;
constexpr const char* kListName = "bench.sdx";

std::vector<char> Record(std::mt19937& rng, const char* tag, int freq, char pol, int rate) {
  std::vector<char> r(128, ' ');
  for (std::size_t i = 0; i < 128; ++i)
    if (i < 29 || i > 74) r[i] = static_cast<char>('A' + rng() % 26);
  std::copy_n(tag, 4, r.begin() + 29);
  const std::string f = std::to_string(1000000 + freq).substr(1);  // six digits
  std::copy_n(f.begin(), 6, r.begin() + 33);
  r[42] = pol;
  const std::string s = std::to_string(100000 + rate).substr(1);
  std::copy_n(s.begin(), 5, r.begin() + 69);
  return r;
}

void WriteList() {
  std::mt19937 rng(1);
  std::ofstream out(kListName, std::ios::binary | std::ios::trunc);
  std::vector<char> last = Record(rng, "MPG2", 11778, '0', 27500);
  for (std::size_t done = 0; done < kListBytes; done += 128) {
    const unsigned pick = rng() % 100;
    std::vector<char> r;
    if (pick < 25) {
      r = last;  // a repeat of the record before: dropped
    } else if (pick < 40) {
      r = Record(rng, "DVB ", 10700 + static_cast<int>(rng() % 2000), '1', 22000);
    } else {
      r = Record(rng, "MPG2", 10700 + static_cast<int>(rng() % 2000),
                 static_cast<char>('0' + rng() % 2), rng() % 2 ? 27500 : 22000);
      last = r;
    }
    out.write(r.data(), 128);
  }
}

struct WorkDir {
  WorkDir() {
    previous = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "kelvane-sdx-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    fs::current_path(dir);
    WriteList();
  }
  ~WorkDir() {
    fs::current_path(previous);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path previous, dir;
};

class UnflushedFiles : public kelvane::DiskFileTable {
 protected:
  bool SyncFile(int, const std::string&) override { return true; }
  bool SyncFolder(const std::string&) override { return true; }
};

template <class Files>
void Convert(benchmark::State& state) {
  static WorkDir work;
  Files files;
  std::string error;
  for (auto _ : state) {
    if (!kelvane::WriteSdxContainer(files, kListName, 1, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kListBytes));
  state.counters["container_MB"] = static_cast<double>(fs::file_size("satcodx.tm1")) / 1e6;
}

void BM_SdxConversion(benchmark::State& state) { Convert<kelvane::DiskFileTable>(state); }
void BM_SdxConversionUnflushed(benchmark::State& state) { Convert<UnflushedFiles>(state); }
BENCHMARK(BM_SdxConversion)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SdxConversionUnflushed)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
