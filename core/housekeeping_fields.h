// Fields of the shared record owned by housekeeping: update flags, temperature log, board temperature.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

// Bits of updateFlags.
enum : uint8_t {
  kUpdFwArmed = 1u << 0,      // micro firmware update armed ("FW UPDATE")
  kUpdRemoteArmed = 1u << 1,  // remote service armed ("REMOTE SERVICE")
  kUpdFwStarted = 1u << 2,    // "MR1;" sent: the link stays idle until restart
  kUpdUiArmed = 1u << 3,      // user-interface update armed ("UI UPDATE")
};

struct HousekeepingFields {
  std::atomic<uint8_t> updateFlags{0};

  // Temperature log: started by a transmission, entries every 5 s of processor time.
  std::atomic<uint8_t> logTempActive{0};
  // Transmit bit of the previous status reply (link thread): the log restarts only when a
  // transmission begins, so an alarm entry written mid-transmission is kept until the next one.
  std::atomic<uint8_t> logTempTxBefore{0};
  std::atomic<double> logTempElapsed{0};  // ms, counted by the supervisor

  // Board temperatures from "my_temp", and whether the helper is failing (logged once per outage).
  std::atomic<float> cpuTemp{0};
  std::atomic<float> gpuTemp{0};
  std::atomic<uint8_t> cpuTempFault{0};
  // The helper answers without a usable GPU line: gpuTemp keeps its last value (logged once).
  std::atomic<uint8_t> gpuTempMissing{0};

  // "%Y-%m-%d %H:%M:%S", local time; written by the supervisor, read by the log writers.
  // Read it through getDataOra (core/housekeeping.h): dateMut keeps the text whole.
  char dateText[80]{};
  time_t dateLastSec = 0;
  std::mutex dateMut;
};
