#include "receiver/SampleFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kelvane::samples {

namespace {

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::uint32_t x = seed * 0x9E3779B9u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// One SDX record: the fields the conversion reads at their places, the rest filled with
// plausible text.
Bytes Record(const char* name, const char* system, int frequency, int polarisation, int symbolRate,
             int number) {
  char rec[256];
  const int n =
      std::snprintf(rec, sizeof rec,
                    "%-7s%c%05d%-15.15s%c%-4.4s%03d%03d%-3s%d%-8s%-4s%-8s%-3s%-3s%05d%c%-4s%-4s%-"
                    "4s%05d%05d%05d%03d%03d%03d%-8s%-9s",
                    "S999.9E", 'T', number, name, ' ', system, frequency / 1000, frequency % 1000,
                    "   ", polarisation, "DVB-S", "0001", "00000000", "eng", "   ", symbolRate, '3',
                    "0101", "0102", "0103", 255, 256, 257, 100, 0, 0, "FTA", "SAMPLE");
  if (n != 128) throw std::logic_error("an SDX record is 128 bytes");
  return Bytes(rec, rec + 128);
}

}  // namespace

Bytes ProgramImage(const ImageFields& fields) {
  Bytes image(64, 0x00);
  const std::uint8_t magic[4] = {0x55, 0xAA, 0x55, 0xAA};
  std::copy(magic, magic + 4, image.begin());
  std::copy(fields.contentCode, fields.contentCode + 2, image.begin() + 4);
  PutBe32(image, 12, static_cast<std::uint32_t>(fields.dataLength));
  std::copy(fields.hwVersion, fields.hwVersion + 4, image.begin() + 16);
  std::copy(fields.swVersion, fields.swVersion + 4, image.begin() + 20);
  std::copy(fields.modelCode, fields.modelCode + 2, image.begin() + 26);
  std::copy_n(fields.modelText.begin(), std::min<std::size_t>(fields.modelText.size(), 32),
              image.begin() + 32);
  const Bytes data = Pattern(fields.dataLength, fields.seed);
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

Bytes Prefixed(const Bytes& plain) {
  Bytes out(4);
  PutBe32(out, 0, static_cast<std::uint32_t>(plain.size() + 4 - 128));
  out.insert(out.end(), plain.begin(), plain.end());
  return out;
}

Bytes ChannelList() {
  struct Entry {
    const char* name;
    const char* system;
    int frequency, polarisation, symbolRate;
  };
  const Entry entries[] = {
      {"Demo One", "MPG2", 11778, 0, 27500},   {"Demo Two", "MPG2", 11778, 0, 27500},
      {"Demo Radio", "MPG2", 11778, 1, 27500}, {"Analogue Old", "ANLG", 11836, 1, 0},
      {"Demo Three", "MPG2", 11836, 1, 27500}, {"Demo Four", "MPG2", 11836, 1, 27500},
      {"Data Feed", "DATA", 11836, 1, 27500},  {"Demo Five", "MPG2", 11836, 1, 27500},
      {"Demo Six", "MPG2", 12188, 0, 27500},   {"Demo Seven", "MPG2", 12188, 0, 22000},
      {"Low Case", "mpg2", 12207, 1, 27500},   {"Demo Eight", "MPG2", 12207, 1, 27500},
      {"Demo Nine", "MPG2", 12207, 1, 27500},  {"Demo Ten", "MPG2", 12522, 0, 22000},
  };
  Bytes out;
  int number = 1;
  for (int pass = 0; pass < 3; ++pass)
    for (const auto& e : entries) {
      const Bytes r =
          Record(e.name, e.system, e.frequency + pass * 10, e.polarisation, e.symbolRate, number++);
      out.insert(out.end(), r.begin(), r.end());
    }
  return out;
}

Bytes TemuFile(std::size_t size, std::uint32_t seed) { return Pattern(size, seed); }

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> WriteSamples(const std::string& dir) {
  const Bytes plain = ProgramImage({});
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"sample.bin", plain},
      {"sample-prefixed.bin", Prefixed(plain)},
      {"channels.sdx", ChannelList()},
      {"card.sgn", TemuFile(5000)},
  };
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : files) {
    paths.push_back(dir + "/" + name);
    WriteFile(paths.back(), bytes);
  }
  return paths;
}

}  // namespace kelvane::samples
