// The error list's reset flow: key 1's "RESET", the amplifier's protection reset sequence and the
// follow-up on the next status reply. It queues amplifier commands, so it lives with the amplifier.
#include "amp/reset_flow.h"

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "ui/errors.h"

void ResetBiasCmd(Works* w) {
  UrgentCommands urgent;
  const int faults = w->stFaults, status1 = w->stStatus1;
  if (faults != 0 || (status1 & kStatus1Alarm)) {
    IncPNTIn_CMDLinear(LIN_CP, w);
    ktrace(">>> ERRORI: RESET Protezione AMPL!\n");
  }
  if (faults & kFaultReset) InitMicroCmd(w);
  IncPNTIn_CMDLinear(LIN_MP0, w);
  IncPNTIn_CMDLinear(w->bypass ? LIN_AB1 : LIN_AB0, w);
  IncPNTIn_CMDLinear(LIN_AT, w);
}

void VerificaEsistonoErrori(Works* w) {
  const int first = ExistAnError(w);
  if (first < 0) return;
  ktrace("FOUND ERR: %d \n", first);
  ResetBiasCmd(w);
  VerifyWarningTemporaneiDopoResetBias(w);
}

void GestErroreRemote(Works* w) {
  Mirtsetup* s = w->setup;
  ktrace(">>> RESTART REMOTE: %i %i audio %x %x\n", w->remoteMode.load(), w->remoteThreadsEnded.load(),
         s ? getFlag(s->EnableWrite) : 0, s ? getFlag(s->EnableRead) : 0);
  if (!s || w->remoteMode != 1 || w->remoteThreadsEnded != 1) return;
  ktrace(">>> RESTART REMOTE!\n");
  w->remoteThreadsEnded = 0;
  const Hooks& st = w->hooks;
  if (getFlag(s->EnableWrite) == '0') {
    setFlag(s->EnableWrite, '1');
    ktrace("start audio write\n");
    if (st.startAudioWrite) st.startAudioWrite(w);
  }
  if (getFlag(s->EnableRead) == '0') {
    setFlag(s->EnableRead, '1');
    ktrace("start audio read\n");
    if (st.startAudioRead) st.startAudioRead(w);
  }
  if (getFlag(s->EnableCAT) == '0') {
    setFlag(s->EnableCAT, '1');
    if (st.startCat) st.startCat(w);
  }
  if (getFlag(s->EnableFFT) == '0') {
    setFlag(s->EnableFFT, '1');
    if (st.startFft) st.startFft(w);
  }
}

void GestErrore(Works* w) {
  ktrace(">>> ERRORI: GestErrore\n");
  const uint8_t flags = w->errorFlags;
  if (flags & kErrFlagBiasReset) {
    ktrace(">>> ERRORI: ResetBiasCmd\n");
    ResetBiasCmd(w);
    StartBurstCMDLinear(w, true);
  } else if (flags & kErrFlagWarnings) {
    VerifyWarningTemporanei(w);
    w->errorFlags.fetch_and(static_cast<uint8_t>(~kErrFlagWarnings));
  } else if (ExistAnError(w) >= 0) {
    ktrace(">>> ERRORI2: VerificaEsistonoErrori\n");
    VerificaEsistonoErrori(w);
  }
  GestErroreRemote(w);
}

int GPIO_Errori(Works* w) {
  if (w->errorFlags != 0) {
    ktrace("----------> 1- ERRORI!!\n");
    GestErrore(w);
    return 1;
  }
  if (ExistAnError(w) < 0) return 0;
  ktrace("----------> 2- ERRORI!!\n");
  GestErroreRemote(w);
  // While the high-temperature alarm is the oldest entry, key 1 keeps its page function.
  if (ExistAnError(w) == kErrorHighTemp) return 0;
  VerificaEsistonoErrori(w);
  return 1;
}

void GestErroreSerial(Works* w) {
  ClearDisplayError(w);
  if (w->errorFlags & kErrFlagBiasReset) VerifyWarningTemporaneiDopoResetBias(w);
  if (w->errorFlags & kErrFlagWarnings) {
    VerifyWarningTemporanei(w);
    w->errorFlags.fetch_and(static_cast<uint8_t>(~kErrFlagWarnings));
  }
  if (ExistAnError(w) >= 0) VerificaEsistonoErrori(w);
}
