// Frequency-driven selection: filter relay, protection thresholds, band settings and the tune to apply.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include "amp/queue/queue.h"
#include "core/works.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {
// Threshold words are ADC counts: truncated toward zero, never negative, capped at full scale.
int thresholdWord(double v) {
  if (std::isnan(v)) return 4095;
  if (v <= 0) return 0;
  if (v >= 4095.0) return 4095;
  return static_cast<int>(v);
}

// Queues one command of the selection chain. When the ring is full the command is lost, so the
// caller puts back what it recorded and the chain runs again on the next tick.
// A newer value replaces a pending command of the same kind, so re-runs never pile up duplicates.
bool queued(Works* w, int state, const char* what) {
  if (QueueReplacingCMDLinear(state, w) >= 0) return true;
  if (w->chainRefused++ == 0)
    klog(LOG_ERR, "Tuner: %s command not queued (link queue full); the selection runs again, backing off, until it is",
         what);
  return false;
}

// Re-runs after a refusal wait 10 passes, then twice as long each time up to 100 (1 s).
constexpr int kChainBackoffFirst = 10, kChainBackoffMax = 100;

void chainOutcome(Works* w, bool ok) {
  if (ok) {
    if (w->chainRefused > 0)
      klog(LOG_INFO, "Tuner: selection commands queued again after %d refusals", w->chainRefused.load());
    w->chainRefused = 0;
    w->chainBackoff = 0;
    w->chainBackoffLeft = 0;
    return;
  }
  w->bandIdx = -1;
  const int next = w->chainBackoff == 0 ? kChainBackoffFirst : std::min(2 * w->chainBackoff.load(), kChainBackoffMax);
  w->chainBackoff = next;
  w->chainBackoffLeft = next;
}

// Each step returns false when one of its commands was refused.
bool setFilter(Works* w);
bool searchThresholds(Works* w);
bool loadTuneVal(Works* w, int mode);
bool bandSettings(Works* w);
}  // namespace

namespace {
bool setFilter(Works* w) {
  const uint64_t f = w->freq;
  int found = -1;
  {
    std::shared_lock lk(w->tablesMut);
    for (int i = 0; i < kFilterRows; ++i) {
      const FilterRow& r = w->tabFiltri[i];
      if (r.enable == 1 && r.freqMin <= f && f <= r.freqMax) {
        found = i;
        break;
      }
    }
  }
  if (found < 0) return true;
  uint8_t mask = static_cast<uint8_t>(1u << found);
  if (mask == w->filterMask) return true;
  const uint8_t before = w->filterMask.exchange(mask);
  if (!queued(w, LIN_SF, "filter")) {
    // The relays still hold the old filter: so must the record, or this mask is never resent.
    w->filterMask.compare_exchange_strong(mask, before);
    return false;
  }
  ktrace(">>>>>>>>>>>>>>> SET FILTER: %i!!\n", found + 1);
  return true;
}

bool searchThresholds(Works* w) {
  const uint64_t f = w->freq;
  if (w->numConfigRows == 0 || f == 0) {
    if (w->curConfigRow < 0 && w->curConfigRow != kConfigRowDefaults) {
      w->tsPwin = 4095;
      w->tsFwd = 4095;
      w->tsRefl = 1500;
      w->tsCorrente = 3700;
      // Not a row index: the first frequency inside a row must still get that row's thresholds.
      w->curConfigRow = kConfigRowDefaults;
      if (!queued(w, LIN_TS, "threshold")) {
        w->curConfigRow = kConfigRowResend;
        return false;
      }
    }
    return true;
  }
  ktrace("Soglia TS (freq %ld):\n", static_cast<long>(f));
  ConfigRow r;
  int i = -1;
  if (!GetConfigRowFor(w, f, &r, &i)) return true;
  if (i == w->curConfigRow) return true;
  // Power is k x counts^2 at the micro, so a threshold in watts becomes sqrt(W / k) counts;
  // 14.05 A is the current of a full-scale count of 4096.
  w->tsPwin = thresholdWord(std::sqrt(static_cast<double>(r.sogliaPwin / r.K2)));
  w->tsCorrente = thresholdWord(static_cast<double>(r.sogliaCorrente) * 4096.0 / 14.05);
  w->tsFwd = thresholdWord(std::sqrt(static_cast<double>(r.sogliaFwd / r.K0)));
  w->tsRefl = thresholdWord(std::sqrt(static_cast<double>(r.sogliaRefl / r.K1)));
  w->curConfigRow = i;
  if (!queued(w, LIN_TS, "threshold")) {
    w->curConfigRow = kConfigRowResend;
    return false;
  }
  return true;
}

bool loadTuneVal(Works* w, int mode) {
  if (w->tuneState != 0) return true;
  AtuSegment seg;
  int idx = AtuIdxSearch(w->freq, &seg);
  if (EsisteTuneValInTabRam(w, idx, seg.first, seg.end, w->antennaIdx) == 0)
    return queued(w, LIN_MT1_MEM, "stored tune");
  return queued(w, mode == 1 ? LIN_MT1_NEUTRAL : LIN_MT1_BYPASS, "tuner");
}

bool bandSettings(Works* w) {
  w->bandIdx = 100;
  const uint64_t f = w->freq;
  BandRow row;
  int found = -1;
  {
    std::shared_lock lk(w->tablesMut);
    int n = w->numBands;
    for (int i = 0; i < n && i < kBandRows; ++i) {
      if (w->tabAntenna[i].freqMin <= f && f <= w->tabAntenna[i].freqMax) {
        found = i;
        row = w->tabAntenna[i];
        break;
      }
    }
  }
  if (found < 0) return true;
  w->bandIdx = found;
  bool ok = true;

  if (row.ant != 0 && w->antennaIdx != row.ant - 1) {
    int ant = row.ant - 1;
    const int before = w->antennaIdx.exchange(ant);
    if (queued(w, LIN_SA, "antenna")) {
      w->antennaAuto = 1;
    } else {
      w->antennaIdx.compare_exchange_strong(ant, before);
      ok = false;
    }
  }

  if (row.atu == 1) {
    ok = queued(w, LIN_MT1_BYPASS, "tuner bypass") && ok;
    ktrace("TABLE CONFIG : BYPASS %i (%i)\n", row.atu, found);
  } else {
    ok = loadTuneVal(w, 1) && ok;
  }

  if (row.ampEnable == 0 && w->bypass == 0) {
    ok = queued(w, LIN_AB1, "stand-by") && ok;
  } else if (row.ampEnable == 1) {
    if (w->bypass == 1) ok = queued(w, LIN_AB0, "operate") && ok;
    int state = row.att;
    const int stateBefore = w->attState.exchange(state);
    uint8_t att = row.att;
    if (w->Attenuator != att) {
      const uint8_t before = w->Attenuator.exchange(att);
      if (!queued(w, LIN_AT, "attenuator")) {
        // Attenuator and its shown state stay on the step the hardware still has.
        w->Attenuator.compare_exchange_strong(att, before);
        w->attState.compare_exchange_strong(state, stateBefore);
        ok = false;
      }
    }
  }
  if (!ok) w->bandIdx = -1;
  return ok;
}
}  // namespace

// Called alone (outside the chain), a refused command makes the chain run again on the next tick.
void SetFilterFromfreq(Works* w) {
  if (!setFilter(w)) chainOutcome(w, false);
}

void SearchCambioSoglie_TS(Works* w) {
  if (!searchThresholds(w)) chainOutcome(w, false);
}

void GestioneLoadTuneVal(Works* w, int mode) {
  if (!loadTuneVal(w, mode)) chainOutcome(w, false);
}

void GestioneAntennaAutomatica(Works* w) { bandSettings(w); }

void RunSelectionChain(Works* w) {
  bool ok = true;
  if (w->ModeWorkIdx != 0) ok = queued(w, LIN_FA, "frequency");
  ok = setFilter(w) && ok;
  ok = searchThresholds(w) && ok;
  ok = bandSettings(w) && ok;
  w->lastFreq = w->freq.load();
  // bandIdx -1 runs the chain again at the same frequency; each step resends only what is missing.
  chainOutcome(w, ok);
}

int FrequencyChangeChain(Works* w) {
  if (w->portError != 0) return 0;
  const int mode = w->ModeWorkIdx;
  if (mode == 1) {
    uint64_t f = 0;
    if (w->serMut) {
      std::lock_guard<std::mutex> lk(*w->serMut);
      f = w->serParam.freqCur;
    } else {
      f = w->serParam.freqCur;
    }
    w->freq = f;
  } else if (mode == 2 || mode == 0) {
    if (w->anValue > 0) {
      w->anValue = 0;
      IncPNTIn_CMDLinear(LIN_AN, w);
    }
    w->freq = mode == 2 ? w->freqCatSerial.load() : static_cast<uint64_t>(w->freqMeasured.load());
  }
  const bool moved = w->freq != w->lastFreq;
  if (!moved && w->bandIdx == -1 && w->chainBackoffLeft > 0) {
    w->chainBackoffLeft--;
    return 0;
  }
  if (moved || w->bandIdx == -1) {
    RunSelectionChain(w);
    return 1;
  }
  return 0;
}
