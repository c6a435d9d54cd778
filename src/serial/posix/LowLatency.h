#pragma once
// Low-latency mode of a USB serial adapter on Linux: asks the driver to hand over small reads
// at once (ASYNC_LOW_LATENCY through TIOCSSERIAL; no special rights needed) instead of
// holding them for the adapter's latency timer, and gives the previous flags back on
// Restore. Pseudo-terminals and built-in ports refuse the request; that is not an error.

namespace kelvane {

class LowLatency {
 public:
  LowLatency() = default;
  LowLatency(const LowLatency&) = delete;
  LowLatency& operator=(const LowLatency&) = delete;
  ~LowLatency() = default;  // the owner restores before it closes the descriptor

  // True when the driver took the request (or the flag was set already).
  bool Request(int fd);
  // Puts the flag back as Request found it; nothing when Request did not succeed.
  void Restore();
  bool Active() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  bool wasSet_ = false;
};

}  // namespace kelvane
