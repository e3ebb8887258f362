// Fields of the shared record owned by the amplifier link, its replies, protection and GPIO.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct AmpFields {
  // Link.
  std::atomic<int> linFD{-1};
  int cmdQueue[30]{};
  std::atomic<int> cmdQueueRead{0};
  std::atomic<int> cmdQueueWrite{0};
  std::atomic<int> cmdBurst{0};
  std::mutex cmdQueueMut;

  // Protection thresholds sent with "TS".
  std::atomic<int> tsPwin{0}, tsFwd{0}, tsRefl{0}, tsCorrente{0};

  // Amplifier state.
  std::atomic<int> bypass{0};
  std::atomic<int> cpPending{0};
  std::atomic<int> microResetArmed{0};
  std::atomic<int> microCfgA{0}, microCfgB{0};

  // GPIO: pending output code (0xFF none), written by several threads under gpioMut.
  std::atomic<int> gpioCode{0};
  std::mutex gpioMut;
};
