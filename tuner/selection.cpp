// Frequency-driven selection: filter relay, protection thresholds, band settings and the tune to apply.
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include "amp/link.h"
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
}  // namespace

void SetFilterFromfreq(Works* w) {
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
  if (found < 0) return;
  const uint8_t mask = static_cast<uint8_t>(1u << found);
  if (mask == w->filterMask) return;
  w->filterMask = mask;
  IncPNTIn_CMDLinear(LIN_SF, w);
  ktrace(">>>>>>>>>>>>>>> SET FILTER: %i!!\n", found + 1);
}

void SearchCambioSoglie_TS(Works* w) {
  const uint64_t f = w->freq;
  if (w->numConfigRows == 0 || f == 0) {
    if (w->curConfigRow < 0) {
      w->tsPwin = 4095;
      w->tsFwd = 4095;
      w->tsRefl = 1500;
      w->tsCorrente = 3700;
      w->curConfigRow = 0;
      IncPNTIn_CMDLinear(LIN_TS, w);
    }
    return;
  }
  ktrace("Soglia TS (freq %ld):\n", static_cast<long>(f));
  ConfigRow r;
  int i = -1;
  if (!GetConfigRowFor(w, f, &r, &i)) return;
  if (i == w->curConfigRow) return;
  // Power is k x counts^2 at the micro, so a threshold in watts becomes sqrt(W / k) counts;
  // 14.05 A is the current of a full-scale count of 4096.
  w->tsPwin = thresholdWord(std::sqrt(static_cast<double>(r.sogliaPwin / r.K2)));
  w->tsCorrente = thresholdWord(static_cast<double>(r.sogliaCorrente) * 4096.0 / 14.05);
  w->tsFwd = thresholdWord(std::sqrt(static_cast<double>(r.sogliaFwd / r.K0)));
  w->tsRefl = thresholdWord(std::sqrt(static_cast<double>(r.sogliaRefl / r.K1)));
  w->curConfigRow = i;
  IncPNTIn_CMDLinear(LIN_TS, w);
}

void GestioneLoadTuneVal(Works* w, int mode) {
  if (w->tuneState != 0) return;
  AtuSegment seg;
  int idx = AtuIdxSearch(w->freq, &seg);
  if (EsisteTuneValInTabRam(w, idx, seg.first, seg.end, w->antennaIdx) == 0)
    IncPNTIn_CMDLinear(LIN_MT1_MEM, w);
  else
    IncPNTIn_CMDLinear(mode == 1 ? LIN_MT1_NEUTRAL : LIN_MT1_BYPASS, w);
}

void GestioneAntennaAutomatica(Works* w) {
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
  if (found < 0) return;
  w->bandIdx = found;

  if (row.ant != 0 && w->antennaIdx != row.ant - 1) {
    w->antennaIdx = row.ant - 1;
    w->antennaAuto = 1;
    IncPNTIn_CMDLinear(LIN_SA, w);
  }

  if (row.atu == 1) {
    IncPNTIn_CMDLinear(LIN_MT1_BYPASS, w);
    ktrace("TABLE CONFIG : BYPASS %i (%i)\n", row.atu, found);
  } else {
    GestioneLoadTuneVal(w, 1);
  }

  if (row.ampEnable == 0 && w->bypass == 0) {
    IncPNTIn_CMDLinear(LIN_AB1, w);
  } else if (row.ampEnable == 1) {
    if (w->bypass == 1) IncPNTIn_CMDLinear(LIN_AB0, w);
    w->attState = row.att;
    if (w->Attenuator != row.att) {
      w->Attenuator = row.att;
      IncPNTIn_CMDLinear(LIN_AT, w);
    }
  }
}

void RunSelectionChain(Works* w) {
  if (w->ModeWorkIdx != 0) IncPNTIn_CMDLinear(LIN_FA, w);
  SetFilterFromfreq(w);
  SearchCambioSoglie_TS(w);
  GestioneAntennaAutomatica(w);
  w->lastFreq = w->freq.load();
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
  if (w->freq != w->lastFreq || w->bandIdx == -1) {
    RunSelectionChain(w);
    return 1;
  }
  return 0;
}
