// Auto-tune: the step-wise search over inductor and capacitor in CL and LC, paced by the status replies.
#include <cstdio>
#include <mutex>

#include "amp/queue/queue.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

namespace {
using Lock = std::lock_guard<std::recursive_mutex>;

void setCval(Works* w, int c) { SetC(w, c); }
void setLval(Works* w, int l) { SetI(w, l); }

// The newest measurement is worse when it exceeds the previous one by more than 0.1.
bool worse(Works* w) {
  return static_cast<double>(w->vTuneParam[0].swr) > static_cast<double>(w->vTuneParam[1].swr) + 0.1;
}

// Coarse climb of L or C: returns true when it left (V lowered by one, fine counter cleared).
bool coarseClimb(Works* w, bool onL, int step) {
  int v = onL ? w->tuneL.load() : w->tuneC.load();
  if (!worse(w) && v + step <= 510) {
    onL ? setLval(w, v + step) : setCval(w, v + step);
    return false;
  }
  w->cnttunefine = 0;
  if (v > 1) onL ? setLval(w, v - 1) : setCval(w, v - 1);
  return true;
}

// Fine descent of L or C with a limit on the fine steps: returns true when it left. Records
// whether it left on a worse measurement (rather than at zero or at the limit).
bool fineDescent(Works* w, bool onL, int limit) {
  int v = onL ? w->tuneL.load() : w->tuneC.load();
  bool isWorse = worse(w);
  if (!isWorse && v >= 1 && w->cnttunefine <= limit) {
    onL ? setLval(w, v - 1) : setCval(w, v - 1);
    w->cnttunefine++;
    return false;
  }
  w->tuneLeftWorse = isWorse ? 1 : 0;
  return true;
}

void escLocked(Works* w, int save);
}  // namespace

void Clr_vTuneParam(Works* w) {
  Lock lk(w->tuneRunMut);
  const TuneRecord cleared{999.0f, 0.0f, 0, 0, 0};
  w->tuneParam = cleared;
  w->miglioretuneParam = cleared;
  for (auto& r : w->vTuneParam) r = cleared;
}

void CtrlNuovoTune(Works* w) {
  Lock lk(w->tuneRunMut);
  // An SWR of (nearly) 0 means no forward power: the carrier was lost, and the setting's real SWR
  // is unknown. It never becomes the best, or the run would store and send it.
  const float swr = w->tuneParam.swr;
  if (swr > 0.01f && swr < w->miglioretuneParam.swr) w->miglioretuneParam = w->tuneParam;
  for (int i = kTuneHistory - 1; i > 0; --i) w->vTuneParam[i] = w->vTuneParam[i - 1];
  w->vTuneParam[0] = w->tuneParam;
}

namespace {
// The best record keeps the sentinel SWR of 999 until a reading with forward power comes.
bool noValidReading(Works* w) { return w->miglioretuneParam.swr >= 999.0f; }
}  // namespace

void TuneEnd(Works* w) {
  Lock lk(w->tuneRunMut);
  if (noValidReading(w)) {
    // Nothing was measured: the word of before the run is the only one known to be sane.
    const TuneRecord& b = w->tuneBeforeRun;
    w->tuneWord = b.tuneWord;
    w->tuneL = b.L;
    w->tuneC = b.C;
    w->tuneMode = static_cast<uint8_t>(DecodeModoFromTuneval(b.tuneWord));
    w->tuneParam = w->miglioretuneParam;
    return;
  }
  w->tuneParam = w->miglioretuneParam;
  const TuneRecord& b = w->tuneParam;
  w->swr = b.swr;
  w->pwrFwd = b.power;
  w->tuneWord = b.tuneWord;
  w->tuneL = b.L;
  w->tuneC = b.C;
  w->tuneMode = static_cast<uint8_t>(DecodeModoFromTuneval(b.tuneWord));
}

namespace {
// The reading of the word sent last becomes the run's current record (and the best, when it is).
void takeReading(Works* w) {
  if (w->stStatus1 & kStatus1Alarm) {
    w->swr = 100.0f;
    w->tuneState = 2;
  }
  w->tuneParam = TuneRecord{w->swr.load(), w->pwrFwd.load(), w->tuneL.load(), w->tuneC.load(), w->tuneWord.load()};
  w->cnttune++;
  CtrlNuovoTune(w);
}

bool underTarget(const Works* w) { return w->tuneParam.swr < w->SWRescAutoTune && w->tuneParam.swr > 0.01f; }

// The matching search ends at the target only when a setting reads under it twice running: with the
// readings' noise, one lucky reading of a setting just above the target would otherwise end the run
// there. The setting ends the run at the mean of its two readings. 1 ended, 2 the same word is to be
// measured again, 0 the search goes on.
int matchTargetStep(Works* w) {
  Lock lk(w->tuneRunMut);
  takeReading(w);
  if (!underTarget(w)) {
    w->searchUnderTarget = 0;
    return 0;
  }
  if (w->searchUnderTarget <= 0) {
    w->searchUnderTarget = w->tuneParam.swr;
    return 2;
  }
  w->miglioretuneParam = w->tuneParam;
  w->miglioretuneParam.swr = (w->tuneParam.swr + w->searchUnderTarget) / 2;
  TuneEnd(w);
  escLocked(w, 1);
  return 1;
}
}  // namespace

int TuneStep(Works* w) {
  Lock lk(w->tuneRunMut);
  takeReading(w);
  if (underTarget(w)) {
    TuneEnd(w);
    escLocked(w, 1);
    return 1;
  }
  return 0;
}

void StartAutotune(Works* w) {
  if (w->atuBypass == 1) return;
  Lock lk(w->tuneRunMut);
  w->tuneStep = kTunePhaseStart;
  w->tuneSearchRun = w->tuneSearch.load() == 1 ? 1 : 0;
  w->tuneBeforeRun = TuneRecord{999.0f, 0.0f, w->tuneL.load(), w->tuneC.load(), w->tuneWord.load()};
  IncPNTIn_CMDLinear(LIN_MP1, w);
  IncPNTIn_CMDLinear(LIN_AT_TUNE, w);
  w->tsPwin = 4095;
  IncPNTIn_CMDLinear(LIN_TS, w);
  IncPNTIn_CMDLinear(LIN_CP, w);
  IncPNTIn_CMDLinear(LIN_MP0, w);
  w->atuBypass = 0;
  StartBurstCMDLinear(w);
  w->tuneState = 1;
  if (w->stStatus0 & kStatus0AnActive) {
    w->anValue = 0;
    IncPNTIn_CMDLinear(LIN_AN, w);
  }
  ktrace("--------- START AUTO TUNE (%x) %i\n", w->AutoTuneMode.load(), w->tuneStep.load());
}

void GoTune(Works* w) {
  if (static_cast<uint8_t>(w->TUNEenabled.load()) & 0x80) return;
  Lock lk(w->tuneRunMut);
  if (w->tuneState == 0) {
    ktrace("c-START TUNE (%x)!!\n", w->AutoTuneMode.load());
    uint8_t m = w->AutoTuneMode;
    if ((m & kAtmEnabled) && !(m & kAtmSettling)) {
      StartAutotune(w);
      ktrace("b-START TUNE!!\n");
      if (w->ModeWorkIdx == 1) {
        w->AutoTuneMode &= static_cast<uint8_t>(~kAtmCarrierAsked);
        w->AutoTuneMode |= kAtmStartedByKey;
        ktrace("a-START TUNE!!\n");
      }
    }
  } else {
    ktrace("esc tune TUNEMENU\n");
    escLocked(w, 0);
  }
}

void EscAutoTune(Works* w, int save) {
  Lock lk(w->tuneRunMut);
  escLocked(w, save);
}

namespace {
void escLocked(Works* w, int save) {
  // A run that never saw forward power found nothing to store: it ends as a run without a match.
  if (noValidReading(w) && w->cnttune > 0) {
    TuneEnd(w);
    if (save) AddErrore(w, kErrorTuneMaxSwr);  // the cycle limit raises its own
    klog(LOG_ERR, "Tuner: auto-tune ended without a reading with forward power, nothing stored");
  } else if (w->tuneParam.swr > 6.0f && !(save == 0 && w->cnttune == 0)) {
    AddErrore(w, kErrorTuneMaxSwr);
    ktrace("------- ERRORE MAX TUNE (%f)\n", static_cast<double>(w->tuneParam.swr));
  } else if (w->tuneParam.swr <= 6.0f && save == 1) {
    InsertTuneToActiveBank(w, w->antennaIdx);
  }
  IncPNTIn_CMDLinear(LIN_AT, w);
  w->cnttune = 0;
  if (w->AutoTuneMode & kAtmEnabled) w->AutoTuneMode |= kAtmEnded;
  w->curConfigRow = -1;
  w->tuneState = 0;
}
}  // namespace

void TuneTask(Works* w) {
  Lock lk(w->tuneRunMut);
  // An abort from another thread may have ended the run since the link decided to call us.
  if (w->tuneState == 0) return;
  if (w->cmdBurst) return;
  int limitIdx = w->AutoTuneMaxCicli;
  if (limitIdx < 0 || limitIdx > 4) limitIdx = 0;
  if (w->cnttune > SWRTimeoutCICLI[limitIdx]) {
    TuneEnd(w);
    escLocked(w, 0);
    AddErrore(w, w->SWRescAutoTune == 0.0f ? kErrorTuneTimeout : kErrorTuneSwr);
    AttivaDisattivaProtezione(w, 1);
    // The best setting must be what the link sends next, so no further step runs.
    return;
  }

  int step = w->tuneStep;
  if (w->tuneSearchRun == 1 && step >= kTunePhaseClimbL && step < kTunePhaseConfirm) {
    if (matchTargetStep(w) != 0) return;
    if (MatchSearchStep(w)) {
      TuneEnd(w);
      w->tuneStep = kTunePhaseConfirm;
    }
    return;
  }
  if (step >= kTunePhaseClimbL && step <= kTunePhaseDescendLFine) {
    if (TuneStep(w)) return;
  }
  switch (step) {
    case kTunePhaseStart: w->tuneStep = kTunePhaseReset; break;
    case kTunePhaseReset:
      Clr_vTuneParam(w);
      SetMode(w, 1);
      setCval(w, 0);
      setLval(w, 0);
      w->cnttune = 0;
      if (w->tuneSearchRun == 1) MatchSearchReset(w);
      w->tuneStep = kTunePhaseWaitTx;
      break;
    case kTunePhaseWaitTx:
      if (w->txActive == 1) {
        sleepMs(3);
        w->tuneStep = kTunePhaseClimbL;
      }
      break;
    case kTunePhaseClimbL:
      if (coarseClimb(w, true, 4)) w->tuneStep = kTunePhaseDescendL;
      break;
    case kTunePhaseDescendL:
      if (fineDescent(w, true, 7)) {
        w->cnttunefine = 0;
        setCval(w, w->tuneC + 8);
        w->tuneStep = kTunePhaseClimbC;
      }
      break;
    case kTunePhaseClimbC:
      if (coarseClimb(w, false, 8)) w->tuneStep = kTunePhaseDescendC;
      break;
    case kTunePhaseDescendC:
      if (fineDescent(w, false, 15)) {
        w->cnttunefine = 0;
        SetMode(w, 2);
        setCval(w, 0);
        w->tuneStep = kTunePhaseStartLC;
      }
      break;
    case kTunePhaseStartLC:
      if (w->tuneC + 8 <= 510) setCval(w, w->tuneC + 8);
      w->tuneStep = kTunePhaseClimbCLC;
      break;
    case kTunePhaseClimbCLC:
      if (coarseClimb(w, false, 8)) w->tuneStep = kTunePhaseDescendCLC;
      break;
    case kTunePhaseDescendCLC:
      if (fineDescent(w, false, 15)) {
        w->cnttunefine = 0;
        TuneEnd(w);
        if (!w->tuneLeftWorse && w->tuneL + 2 <= 510) setLval(w, w->tuneL + 2);
        w->tuneStep = kTunePhaseClimbLFine;
      }
      break;
    case kTunePhaseClimbLFine:
      if (coarseClimb(w, true, 2)) w->tuneStep = kTunePhaseDescendLFine;
      break;
    case kTunePhaseDescendLFine:
      if (fineDescent(w, true, 5)) {
        TuneEnd(w);
        w->tuneStep = kTunePhaseConfirm;
      }
      break;
    case kTunePhaseConfirm:
      // The closing measurement of the best setting; the run ends whatever it shows.
      TuneStep(w);
      escLocked(w, 1);
      break;
    default: break;
  }
}
