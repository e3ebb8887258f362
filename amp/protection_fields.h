// Fields of the shared record owned by protection, attenuator, temperature and fan.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

// One row of the fan table: from this temperature up, this fan step.
struct VentolaEntry {
  float temp = 0;  // °C
  int step = 0;    // per cent
};

struct ProtectionFields {
  // Loaded once at start-up before the link thread runs, and never changed afterwards.
  std::vector<VentolaEntry> tabVentola;
  // Fan step chosen by the last status reply, and the step last queued to the micro.
  std::atomic<int> fanWanted{0};
  std::atomic<int> fanSent{0};
  // Set when the over-temperature reaction was queued while the error list was still closed
  // (before the micro's first "CP"), so the reaction is not queued again on every status reply.
  std::atomic<uint8_t> overTempQueued{0};
  // Set while a sensor's readings are beyond the converter's range (temp1, temp2): such a reading
  // is logged once per run and the last good temperature kept.
  std::atomic<uint8_t> tempReadingBad[2]{};
};
