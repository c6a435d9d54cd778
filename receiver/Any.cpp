// any: the receiver plays whichever exchange the PC starts, one after another. While idle
// it offers the Temu start request 02 01 03; the PC's answer picks the exchange (08 a
// download, 02 01 0A 03 a Temu exchange, 01 an upload). An exchange the PC leaves part way
// (Stop) ends as stopped when the PC goes silent, closes the line or begins another
// exchange, and the receiver is idle again.

#include <optional>
#include <utility>

#include "receiver/Receiver.h"
#include "receiver/Steps.h"
#include "transfer/Protocol.h"

namespace kelvane::rx {

namespace {

using namespace std::chrono;
namespace w = kelvane::wire;

// The offer goes out again at this interval until the PC answers: a PC that starts an
// exchange waits at most this long.
constexpr milliseconds kOfferRepeat{250};

class AnyRun {
 public:
  AnyRun(Line& line, const AnyOptions& o) : line_(line), o_(o) {
    download_.common = upload_.common = temu_.common = o.common;
    upload_.image = o.image;
  }

  Outcome Run() {
    Outcome all;
    all.exchange = "any";
    while (o_.count == 0 || played_ < o_.count) {
      try {
        const std::uint8_t first = pending_ ? *std::exchange(pending_, std::nullopt) : Offer();
        if (auto one = Play(first)) Tell(*one, all);
      } catch (const PeerClosed&) {
        if (!line_.IsPty()) throw;
        line_.HoldAgain();  // wait for the next PC
      }
    }
    all.blocks = static_cast<std::size_t>(played_);
    all.notes.push_back(std::to_string(ok_) + " ok, " + std::to_string(stopped_) + " stopped, " +
                        std::to_string(played_ - ok_ - stopped_) + " failed");
    return all;
  }

 private:
  // Offers the start request until the PC sends a byte; returns that byte.
  std::uint8_t Offer() {
    static constexpr std::uint8_t kOffer[] = {w::kStart, w::kTemuStart, w::kEnd};
    for (;;) {
      line_.DiscardUnread();
      line_.Write(kOffer);
      if (auto b = line_.ReadByte(SteadyClock::now() + kOfferRepeat)) return *b;
    }
  }

  // The exchange the byte begins, played to its end; nothing for a byte that begins none.
  std::optional<Outcome> Play(std::uint8_t first) {
    if (first == w::kHeaderFollows)
      return Guarded([&](Outcome& out) { OneDownload(line_, download_, out); });
    if (first == w::kReady) return Guarded([&](Outcome& out) { OneUpload(line_, upload_, out); });
    if (first == w::kStart && StartReplyFollows())
      return Guarded([&](Outcome& out) { OneTemu(line_, temu_, out); });
    return std::nullopt;
  }

  // The rest of the reply 02 01 0A 03 to the offer. A byte that breaks it off is taken as the
  // first byte of whatever comes next.
  bool StartReplyFollows() {
    for (std::uint8_t want : {w::kTemuStart, std::uint8_t{0x0A}, w::kEnd}) {
      const auto b = line_.ReadByte(SteadyClock::now() + o_.common.timeout);
      if (!b) return false;
      if (*b != want) {
        pending_ = *b;
        return false;
      }
    }
    return true;
  }

  template <class F>
  Outcome Guarded(F play) {
    Outcome one;
    try {
      play(one);
    } catch (const NewExchange& e) {
      Stopped(one, e.what());
      pending_ = e.first;
    } catch (const Silent& e) {
      Stopped(one, e.what());
    } catch (const PeerClosed& e) {
      Stopped(one, e.what());
      if (!line_.IsPty()) throw;
      line_.HoldAgain();
    } catch (const LineError&) {
      throw;
    } catch (const std::exception& e) {
      one.ok = false;
      one.reason = e.what();
    }
    return one;
  }

  static void Stopped(Outcome& one, const std::string& why) {
    one.stopped = true;
    one.notes.push_back(why);
  }

  void Tell(const Outcome& one, Outcome& all) {
    ++played_;
    if (one.stopped)
      ++stopped_;
    else if (one.ok)
      ++ok_;
    else {
      all.ok = false;
      all.reason = one.exchange + " " + std::to_string(played_) + ": " + one.reason;
    }
    if (o_.each) o_.each(one);
  }

  Line& line_;
  const AnyOptions& o_;
  AcceptOptions download_;
  ServeOptions upload_;
  TemuOptions temu_;
  std::optional<std::uint8_t> pending_;
  int played_ = 0, ok_ = 0, stopped_ = 0;
};

}  // namespace

Outcome RunAny(Line& line, const AnyOptions& o) {
  try {
    return AnyRun(line, o).Run();
  } catch (const std::exception& e) {
    Outcome out;
    out.exchange = "any";
    out.ok = false;
    out.reason = e.what();
    return out;
  }
}

}  // namespace kelvane::rx
