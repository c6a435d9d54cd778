#pragma once
// One running transfer: an exchange (program or SDX download, Temu download, upload) with
// its port, its file and its clock, driven from outside. The front end waits on the port's
// ReadinessHandle() (or the serial object's own signal) and on a 1-second tick, and calls
// OnReadable() and OnTick(); nothing here blocks, waits or pumps events, so one thread can
// drive several transfers, and a dialog opened meanwhile stalls none of them.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "files/FileTable.h"
#include "serial/SerialPort.h"
#include "timecode/Clock.h"
#include "transfer/Outcome.h"
#include "transfer/TransferEvents.h"

namespace kelvane {

enum class ExchangeKind {
  ProgramDownload,  // a program image, or the container of a converted SDX list
  TemuDownload,     // serves a conditional-access file on the receiver's requests
  Upload,           // reads the receiver's program image back into the file
};

struct TransferSetup {
  ExchangeKind kind = ExchangeKind::ProgramDownload;
  // The file sent or served, or the upload's target (an existing one replaced only once the
  // receiver has ended the upload).
  std::string path;
  // The upload's pause before each block's acknowledge (CountingLoopTime of kAckPauseRounds).
  std::chrono::microseconds ackPause{0};
  // The file number to open the transfer file under when it is free; 0: the lowest free one.
  int fileNum = 0;
};

class Exchange;
class TransferLine;

class Transfer {
 public:
  // port must be open; the references must outlive the Transfer.
  Transfer(SerialPort& port, FileTable& files, Clock& clock, TransferEvents& events,
           TransferSetup setup);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Opens the file and speaks first where the exchange does (the upload's ready byte). May
  // end the transfer at once (a file that cannot be opened, a line already lost).
  void Begin();
  // Bytes wait on the port (or may): reads all that waits and hands it to the exchange.
  void OnReadable();
  // The 1-second tick: reads what waits first, then lets the exchange act on the silence
  // (the upload's repeated requests); also notices an echoing or lost line.
  void OnTick();
  // Ends the transfer as the Stop button does (the download still sends its end of data).
  // Nothing claims completion after it: the outcome is Stopped with how far it got.
  void Stop();

  bool Done() const;
  // The outcome once Done(): its done and total are how far the transfer got; lineLost is
  // set when the line failed under it.
  const Outcome& Result() const;

  // What to wait on for received bytes: the port's ReadinessHandle() (-1: none, rely on the
  // serial object's own notification or on polling OnReadable).
  std::intptr_t ReadinessHandle() const { return port_.ReadinessHandle(); }
  // The earliest time a read is worth making: while the rest of a block is on its way at
  // the line's pace, waking for every piece of it only costs. nullopt: read as soon as
  // bytes wait (always on Windows). Meanwhile the front end still wakes for Stop, the tick
  // and signals, and once the time has come it calls OnReadable whether or not the handle
  // is ready.
  std::optional<std::chrono::steady_clock::time_point> ReadDue() const { return readDue_; }
  // Between the blocks of such a line: how long after the next block's first bytes come the
  // read is worth making, for a front end that can note when bytes come without reading
  // them (the window's watch) and then calls BytesCameAt before OnReadable. nullopt: read
  // as bytes come, or as ReadDue says once the first piece is read.
  std::optional<std::chrono::steady_clock::duration> ReadAfterBytes() const {
    return readAfterBytes_;
  }
  // The bytes the next OnReadable or OnTick takes began to come at `t`.
  void BytesCameAt(std::chrono::steady_clock::time_point t) { bytesCame_ = t; }
  // The number the transfer file is open under; 0 when none is open.
  int FileNumber() const;
  // The line gives back what is sent (LineEchoes was told).
  bool Echoing() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  void Finish(Outcome o);
  void CheckLine();
  void PlanRead(std::optional<TimePoint> readAt, std::optional<TimePoint> came);

  SerialPort& port_;
  FileTable& files_;
  Clock& clock_;
  TransferEvents& events_;
  TransferSetup setup_;
  std::unique_ptr<TransferLine> line_;
  std::unique_ptr<Exchange> exchange_;
  Outcome result_;
  bool begun_ = false;
  bool done_ = false;
  bool echoTold_ = false;
  // The block under way, to see whether blocks come in pieces at the line's pace.
  std::optional<TimePoint> readDue_;
  std::optional<std::chrono::steady_clock::duration> readAfterBytes_;
  std::optional<TimePoint> bytesCame_;  // told by BytesCameAt, for the next read
  TimePoint blockFirstRead_{};
  std::size_t blockAwaiting_ = 0;  // what it still awaited after the last read; 0: none
  std::size_t blockLater_ = 0;     // its bytes that came after its first read
  std::size_t blockRest_ = 0;      // the same, of the last block read in pieces
  bool blockCame_ = false;         // its first read was made late, dated by BytesCameAt
  // How long the last block read as it came took from its first piece to its last.
  std::optional<std::chrono::steady_clock::duration> blockTime_;
  int blocksUntimed_ = 0;  // blocks read late on purpose since
};

}  // namespace kelvane
