// The supervisor: the 10 ms pass that follows the frequency and composes the screen.
#pragma once
#include <chrono>
#include <memory>

#include "core/housekeeping.h"

struct Works;
struct SerParam;

// The transmission hand-shake of the auto-tune with the transceiver, with its two pass counters.
struct TxTuneWatch {
  int count = 0;
  int mark = 0;
  void pass(Works* works, const SerParam& p);

 private:
  // Counts the settling passes after a run; true when the settling is over and the bits were cleared.
  bool settle(Works* works);
};

// What the supervisor keeps from one pass to the next.
struct SupervisorState {
  TxTuneWatch watch;
  std::chrono::steady_clock::time_point nextCpuTemp{};
  // The board-temperature reader, started by the first pass that asks for a reading; stopped
  // (helper and all) with the state.
  std::unique_ptr<CpuTempReader> cpuTemp;
  double carryMs = 0;           // the part of a millisecond of processor time not yet aged
  bool portErrorShown = false;  // the port-error background is in backBuf for the error now shown
};

// One pass without its sleep, and the ageing of the timers by the processor time the pass used.
void timerPass(Works* works, SupervisorState& st);
void timerAge(Works* works, SupervisorState& st, double dtMs);

void timer(Works* works);
