#pragma once
// What an exchange is handed by the transfer frame: the line and its port, the files with
// the transfer file's number and path, the clock with the upload's pause before an
// acknowledge, the view for the texts and the progress it shows, and the stop check. Also the size
// text and bar value the exchanges share.

#include <chrono>
#include <cstdint>
#include <string>

#include "app/MainView.h"
#include "files/FileTable.h"
#include "serial/Link.h"
#include "serial/SerialPort.h"
#include "timecode/Clock.h"
#include "transfer/Outcome.h"
#include "transfer/ProgressMeter.h"

namespace kelvane {

// done × 95 ÷ total, never above 95; a total of 0 gives 95.
float ProgressValue(std::int64_t done, std::int64_t total);

class Exchange {
 public:
  // fileNum and stopFlag are the window's FileNum and StopFlag; path is its XferPath.
  Exchange(Link& link, SerialPort& serial, FileTable& files, Clock& clock,
           std::chrono::microseconds ackPause, MainView& view, std::int16_t& fileNum,
           const std::string& path, bool& stopFlag)
      : link(link),
        serial(serial),
        files(files),
        clock(clock),
        ackPause(ackPause),
        view(view),
        path(path),
        fileNum_(fileNum),
        stopFlag_(stopFlag) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  Link& link;
  SerialPort& serial;
  FileTable& files;
  Clock& clock;
  const std::chrono::microseconds ackPause;
  MainView& view;
  const std::string& path;

  // The test every exchange loop makes: true when Stop was pressed, a close was asked for,
  // or the line has failed for good (the last also sets StopFlag, so the exchange leaves
  // through its ordinary Stop path and the frame reports the line).
  bool Stopping();
  // Ends the exchange as Stop does (a refused header).
  void Stop() { stopFlag_ = true; }

  // The transfer file's number; 0 when none is open.
  int File() const { return fileNum_; }

  // Opens path as the transfer file: under FileNum when that is set and not in use,
  // otherwise under the lowest free number, and sets FileNum to the number used. Any error
  // pending before is cleared first. False on failure, with FileNum 0 (see FileFailure).
  bool OpenFile(OpenMode mode);
  // Opens a new file under a private name beside path as the transfer file, to take path's
  // place later (FileTable::OpenBeside); returns that name, "" on failure (FileNum 0).
  std::string OpenFileBeside();
  // Closes the transfer file if it is open; FileNum becomes 0.
  void CloseFile();
  // The pending file error as an outcome (the transfer file, the system's description).
  Outcome FileFailure() const;

  // Info shows SizeText(sizeDone, total), the bar ProgressValue(barDone, total), and the
  // view is told the bytes with the meter's rate.
  void ShowProgress(std::int64_t sizeDone, std::int64_t barDone, std::int64_t total);
  // The outcome with the bytes the last progress showed.
  Outcome WithProgress(Outcome o) const;

 private:
  std::int16_t& fileNum_;
  bool& stopFlag_;
  ProgressMeter meter_;
  std::int64_t done_ = 0, total_ = 0;
};

}  // namespace kelvane
