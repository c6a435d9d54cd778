// temu: the receiver leads the exchange. It asks for a start, reads the whole file in
// read requests of a chosen size plus one past its end, asks for the PC's date and time,
// and ends with the end request. Every reply is checked byte for byte; without the file,
// the reads go on until a reply holds filler only.

#include <algorithm>
#include <ctime>

#include "receiver/Receiver.h"
#include "receiver/Steps.h"
#include "transfer/Protocol.h"

namespace kelvane::rx {

namespace {

using namespace std::chrono;
namespace w = kelvane::wire;

// The start request is repeated at this interval until the PC answers it: requests sent
// before the PC opens its end or starts the exchange are discarded there.
constexpr milliseconds kStartRepeat{500};
// After the end request the PC must stay quiet; this long is watched.
constexpr milliseconds kAfterEnd{300};

constexpr std::uint8_t kStartReply[4] = {w::kStart, w::kTemuStart, 0x0A, w::kEnd};

class TemuRun {
 public:
  TemuRun(Line& line, const TemuOptions& o, Outcome& out) : line_(line), o_(o), out_(out) {
    out_.exchange = "temu";
  }

  // started: the PC has answered the start request already.
  void Run(bool started) {
    if (o_.chunk == 0 || o_.chunk > 0xFFFF) throw Failed("the read size must be 1 to 65535");
    if (!started) Start();
    SkipStartCopies();
    ReadAll();
    Time();
    Request({w::kStart, w::kTemuEnd, w::kEnd});
    // In resync the next bytes belong to the next exchange.
    if (o_.common.resync) return;
    Bytes after;
    try {
      after = line_.DrainQuiet(kAfterEnd, SteadyClock::now() + kAfterEnd * 4);
    } catch (const PeerClosed&) {
      // The exchange is over: a PC that closes its port now (a command-line run) is quiet.
    }
    if (!after.empty()) throw Failed("the PC answered the end request with " + Hex(after));
  }

 private:
  void Request(const Bytes& r) {
    if (const Bytes noise = Noise(o_.common, ++requests_); !noise.empty()) line_.Write(noise);
    if (!o_.pieces) {
      line_.Write(r);
      return;
    }
    // Pieces: the first two bytes alone, then the rest in twos.
    for (std::size_t i = 0; i < r.size();) {
      const std::size_t n = i == 0 ? 1 : std::min<std::size_t>(2, r.size() - i);
      if (i) line_.Wait(SteadyClock::now() + kPieceGap);
      line_.Write(std::span(r).subspan(i, n));
      i += n;
    }
  }

  // Exactly n bytes of a reply; a first byte that begins another exchange ends this one.
  Bytes Reply(std::size_t n, const std::string& what) {
    const std::uint8_t first = Next(line_, o_.common.timeout, what);
    if (first != w::kStart)
      Unexpected(o_.common, first, what + ": byte 0 is " + Hex(first) + ", expected 02");
    Bytes got{first};
    const Bytes rest = NextBytes(line_, n - 1, o_.common.timeout, what);
    got.insert(got.end(), rest.begin(), rest.end());
    return got;
  }

  // Reads exactly the reply's length and compares it with what it should be.
  void Expect(const Bytes& want, const std::string& what) {
    const Bytes got = Reply(want.size(), what);
    const auto [g, x] = std::mismatch(got.begin(), got.end(), want.begin());
    if (g != got.end())
      throw Failed(what + ": byte " + std::to_string(g - got.begin()) + " is " + Hex(*g) +
                   ", expected " + Hex(*x));
  }

  void Start() {
    const Bytes request{w::kStart, w::kTemuStart, w::kEnd};
    const auto give_up = SteadyClock::now() + o_.common.timeout;
    std::optional<std::uint8_t> first;
    while (!first) {
      line_.DiscardUnread();
      Request(request);
      first = line_.ReadByte(SteadyClock::now() + kStartRepeat);
      if (!first && SteadyClock::now() >= give_up)
        throw Failed("no answer to the start request for " +
                     std::to_string(o_.common.timeout.count()) + " s");
    }
    if (*first != kStartReply[0])
      throw Failed("start reply: byte 0 is " + Hex(*first) + ", expected 02");
    const Bytes rest = NextBytes(line_, 3, o_.common.timeout, "the start reply");
    if (!std::equal(rest.begin(), rest.end(), std::begin(kStartReply) + 1))
      throw Failed("the start reply is 02 " + Hex(rest) + ", not 02 01 0A 03");
  }

  // A repeated start request may have crossed the reply; its reply is a copy.
  void SkipStartCopies() {
    const Bytes extra = line_.DrainQuiet(milliseconds(150), SteadyClock::now() + seconds(2));
    for (std::size_t i = 0; i < extra.size(); ++i)
      if (extra[i] != kStartReply[i % 4] || extra.size() % 4 != 0)
        throw Failed("unexpected bytes after the start reply: " + Hex(extra));
    out_.notes.push_back("started");
  }

  // The file in reads of the chosen size, then one past its end (filler only). Without the
  // file: until a reply holds filler only.
  void ReadAll() {
    std::size_t offset = 0;
    if (o_.file) {
      do {
        Read(offset, o_.chunk);
        offset += o_.chunk;
      } while (offset < o_.file->size());
      Read(offset, o_.chunk);
      return;
    }
    while (!Read(offset, o_.chunk) && offset < kTemuUnknownLimit) offset += o_.chunk;
    out_.notes.push_back("read until a reply held filler only");
  }

  // One read request and its reply; true when the reply holds filler only.
  bool Read(std::size_t offset, std::size_t count) {
    Bytes r{w::kStart, w::kTemuRead, static_cast<std::uint8_t>(count),
            static_cast<std::uint8_t>(count >> 8)};
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
    r.push_back(w::kEnd);
    Request(r);
    ++out_.blocks;
    const std::string what =
        "reply to the read of " + std::to_string(count) + " bytes at " + std::to_string(offset);
    if (o_.file) {
      Bytes want{w::kStart, w::kTemuRead};
      for (std::size_t i = 0; i < count; ++i)
        want.push_back(offset + i < o_.file->size() ? (*o_.file)[offset + i] : w::kFiller);
      want.push_back(w::kEnd);
      Expect(want, what);
      return offset >= o_.file->size();
    }
    const Bytes got = Reply(count + 3, what);
    if (got[1] != w::kTemuRead || got.back() != w::kEnd)
      throw Failed(what + " is " + Hex(got) + ", not 02 02 ... 03");
    return std::all_of(got.begin() + 2, got.end() - 1,
                       [](std::uint8_t b) { return b == w::kFiller; });
  }

  void Time() {
    Request({w::kStart, w::kTemuTime, w::kEnd});
    const Bytes got = Reply(8, "time reply");
    if (got[0] != w::kStart || got[1] != w::kTemuTime || got[7] != w::kEnd)
      throw Failed("time reply is " + Hex(got) + ", not 02 03 M1 M0 HH MM SS 03");
    const int mjd = got[2] * 256 + got[3];
    const int h = FromBcd(got[4]), m = FromBcd(got[5]), s = FromBcd(got[6]);
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
      throw Failed("time reply holds no BCD time of day: " + Hex(std::span(got).subspan(4, 3)));
    const CivilDate d = DateOfMjd(mjd);
    char text[64];
    std::snprintf(text, sizeof text, "PC time %04d-%02d-%02d %02d:%02d:%02d (MJD %d)", d.year,
                  d.month, d.day, h, m, s, mjd);
    out_.notes.push_back(text);
    if (o_.maxSkew) {
      std::tm t{};
      t.tm_year = d.year - 1900;
      t.tm_mon = d.month - 1;
      t.tm_mday = d.day;
      t.tm_hour = h;
      t.tm_min = m;
      t.tm_sec = s;
      t.tm_isdst = -1;
      const double skew = std::difftime(std::mktime(&t), std::time(nullptr));
      if (skew > static_cast<double>(o_.maxSkew->count()) ||
          -skew > static_cast<double>(o_.maxSkew->count()))
        throw Failed(std::string(text) + " is " + std::to_string(static_cast<long>(skew)) +
                     " s off the local time");
    }
  }

  Line& line_;
  const TemuOptions& o_;
  Outcome& out_;
  std::uint32_t requests_ = 0;
};

}  // namespace

void OneTemu(Line& line, const TemuOptions& o, Outcome& out) { TemuRun(line, o, out).Run(true); }

Outcome RunTemu(Line& line, const TemuOptions& o) {
  return Guarded([&](Outcome& out) { TemuRun(line, o, out).Run(false); });
}

CivilDate DateOfMjd(int mjd) {
  // Inverse of the broadcast-table conversion; the integer casts truncate as it requires.
  const int y = static_cast<int>((mjd - 15078.2) / 365.25);
  const int m = static_cast<int>((mjd - 14956.1 - static_cast<int>(y * 365.25)) / 30.6001);
  const int day = mjd - 14956 - static_cast<int>(y * 365.25) - static_cast<int>(m * 30.6001);
  const int k = (m == 14 || m == 15) ? 1 : 0;
  return {y + k + 1900, m - 1 - k * 12, day};
}

int FromBcd(std::uint8_t b) {
  const int hi = b >> 4, lo = b & 0x0F;
  return hi > 9 || lo > 9 ? -1 : hi * 10 + lo;
}

}  // namespace kelvane::rx
