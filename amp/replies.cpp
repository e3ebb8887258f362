// The micro's replies applied to the record: the amplifier's state, its errors, fan and protection.
#include "amp/replies.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "amp/link.h"
#include "amp/pa_voltage.h"
#include "amp/protection.h"
#include "amp/reply_decode.h"
#include "amp/reset_flow.h"
#include "core/housekeeping.h"
#include "core/works.h"
#include "platform/log.h"
#include "ui/errors.h"

namespace {

constexpr int kPauseReply = 20;
constexpr int kPauseStatus = 10;

// A reply as it may be traced: bytes outside printable ASCII become '.'.
std::string printable(const char* r, int len) {
  std::string s;
  s.reserve(static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(r[i]);
    s.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
  }
  return s;
}

// Bad replies get the same treatment as an error reply: the command is sent again.
int rejectReply(Works* w, const char* reply, int length, const char* why) {
  std::string p = printable(reply, length);
  ktrace("---------------------------------------cmd non riconosciuto:%s\n", p.c_str());
  klog(LOG_ERR, "Linear: reply %.40s rejected: %s", p.c_str(), why);
  GestRetrayCMD(w);
  return kPauseReply;
}

int acceptReply(Works* w) {
  NextCmdPriority(w, LIN_ST);
  return kPauseReply;
}

// The error list's acknowledgement bits go once the display was cleared after a reset.
void clearAcknowledge(Works* w) {
  if (w->errorFlags.load() & kErrFlagDisplayCleared)
    w->errorFlags &= static_cast<uint8_t>(~(kErrFlagBiasReset | kErrFlagDisplayCleared));
}

const char* faultName(int faults) {
  if (faults & kFaultFilterTx) return "FILTER TX";
  if (faults & kFaultSensPw) return "SENS PW";
  if (faults & kFaultFwd) return "FWD";
  if (faults & kFaultRefl) return "REFL";
  return "I OUT";
}

float smoothTemp(float stored, float now) { return stored == 0.0f ? now : (9.0f * stored + now) / 10.0f; }

// A number past the 12-bit range is a garbled field, not a cold heat sink: it must not read as
// -10 °C and hide an over-temperature, so the last good temperature stays.
void storeTemperature(Works* w, int sensor, int reading) {
  std::atomic<float>& stored = sensor == 0 ? w->temp1 : w->temp2;
  std::atomic<uint8_t>& bad = w->tempReadingBad[sensor];
  if (reading > kThermistorReadingMax) {
    if (!bad.exchange(1))
      klog(LOG_ERR, "Linear: temperature %d reading %d is beyond the 12-bit range, %.1f C kept", sensor + 1, reading,
           static_cast<double>(stored.load()));
    return;
  }
  if (bad.exchange(0)) klog(LOG_INFO, "Linear: temperature %d readings are in range again", sensor + 1);
  stored = smoothTemp(stored, CalcolaTemp(reading));
}

int applyConfigBlock(Works* w, const DecodedReply& d, const std::string& p) {
  if (d.block == 2) {
    const int a = d.bytes[0], b = d.bytes[1];
    w->microCfgA = a;
    w->microCfgB = b;
    number_ofStep_meter_FWD = (b == kMicroCfg120W) ? 120 : 60;
    ktrace("EE2: %x %x\n", a, b);
    return acceptReply(w);
  }
  {
    std::lock_guard<std::mutex> lk(w->ampTextMut);
    memcpy(d.block == 0 ? w->microCfg0 : w->microCfg1, d.bytes, sizeof d.bytes);
  }
  ktrace(d.block == 0 ? "EE0:%s\n" : "EE1:%s\n", p.c_str());
  return acceptReply(w);
}

void syncBypass(Works* w, int s1) {
  if ((s1 & kStatus1Bypass) && w->bypass == 0 && w->bypassCmdState == 1) {
    ktrace("--------------- AMPL ERRORE : bypass on %s\n", "AB1;");
    w->bypass = 1;
  }
  if (!(s1 & kStatus1Bypass) && w->bypass == 1 && w->bypassCmdState == 0) {
    ktrace("--------------- AMPL ERRORE : bypass off %s\n", "AB0;");
    w->bypass = 0;
  }
}

// While the link is failing, the status is the only truth about bypass and attenuator.
void stateFromStatus(Works* w, int s0, int s1) {
  if ((s1 & kStatus1Bypass) && w->bypass == 0) {
    w->bypass = 1;
    ktrace("STATE DA ERRORE : bypass on\n");
  } else if (!(s1 & kStatus1Bypass) && w->bypass == 1) {
    w->bypass = 0;
    ktrace("STATE DA ERRORE : bypass off\n");
  }
  bool pad3 = s0 & kStatus0Pad3dB, pad2 = s0 & kStatus0Pad2dB;
  int att = pad3 ? (pad2 ? 3 : 2) : (pad2 ? 1 : 0);
  if (att != w->Attenuator) {
    w->Attenuator = static_cast<uint8_t>(att);
    w->attState = att;
    ktrace("STATE DA ERRORE : attenuatore 3dB=%s 2dB=%s\n", pad3 ? "on" : "off", pad2 ? "on" : "off");
  }
}

void faults(Works* w, int f) {
  if ((f & kFaultReset) && w->microResetArmed) AddErrore(w, kErrorMicroReset);
  // The micro restarted on its own: once per reset (the bit stays until "MR0;" is taken), its
  // settings go again, or it would run with its defaults until the next frequency change.
  if (!(f & kFaultReset)) {
    w->microResetHandled = 0;
  } else if (w->microResetArmed && !w->microResetHandled.exchange(1)) {
    ResendAfterMicroReset(w);
  }
  if (!(f & (kFaultIOut | kFaultRefl | kFaultFwd | kFaultSensPw | kFaultFilterTx | kFaultBand))) {
    DeleteErrore(w, kErrorAmpFault);
    clearAcknowledge(w);
  } else if (f & kFaultBand) {
    AddErrore(w, kErrorBandStandby);
  } else {
    SetErrorText(w, kErrorAmpFault, 2, faultName(f));
    AddErrore(w, kErrorAmpFault);
  }
  if ((f & kFaultPwrIn) && w->anValue == 1 && w->tuneState == 0 &&
      !(w->AutoTuneMode & (kAtmStartedByTx | kAtmEnded | kAtmSettling | kAtmStartedByKey)))
    AddErrore(w, kErrorPwrIn);
}

int applyStatus(Works* w, const StatusFields& st) {
  // The error reset's follow-up, once its burst went out.
  if (w->errorResend == 2) {
    GestErroreSerial(w);
    ktrace(">>> ERRORI: End Gest Errori!!\n");
    w->errorResend = 0;
  }
  // Status bytes and faults.
  const int s0 = st.status0, s1 = st.status1, f = st.faults & 0xFF;
  w->stStatus0 = s0;
  w->stStatus1 = s1;
  w->stFaults = f;
  // Stand-by and attenuator as the micro reports them.
  syncBypass(w, s1);
  if (ExistError(w, kErrorComm)) stateFromStatus(w, s0, s1);
  // Faults, and the alarm with its acknowledgement.
  faults(w, f);
  if (s1 & kStatus1Alarm) {
    AddErrore(w, kErrorAmpAlarm);
  } else {
    DeleteErrore(w, kErrorAmpAlarm);
    clearAcknowledge(w);
  }
  if (!(s1 & kStatus1AlarmShown)) clearAcknowledge(w);
  // Temperature log, on the first reply of a transmission only: while it lasts, an alarm has ended the log on
  // purpose, and the alarm entry must stay for the operator to read.
  const bool tx = s1 & kStatus1Tx;
  const bool txBefore = w->logTempTxBefore.exchange(tx ? 1 : 0);
  const bool txBegins = tx && !txBefore;
  if (w->EnableLOGTemp && txBegins && !w->logTempActive) {
    ktrace("REMOVE file LOG \n");
    LogTempFunction(w, -1);
    LogTempFunction(w, 0);
    w->logTempActive = 1;
  }
  // Powers from the coupler counts, and the SWR.
  const float k0 = SearchK(w, 0), k1 = SearchK(w, 1), k2 = SearchK(w, 2), k3 = SearchK(w, 3);
  const float pw = static_cast<float>(st.pw), fwd = static_cast<float>(st.fwd), refl = static_cast<float>(st.refl);
  w->rawPW = static_cast<uint16_t>(pw);
  w->rawFWD = static_cast<uint16_t>(fwd);
  w->rawREFL = static_cast<uint16_t>(refl);
  const float pFwd = k0 * fwd * fwd;
  float pRefl = k1 * refl * refl + k3 * pFwd;
  if (!(pRefl > 0.0f)) pRefl = 0.0f;
  w->pwrPW = k2 * pw * pw;
  w->pwrFwd = pFwd;
  w->pwrRefl = pRefl;
  w->swr = CalcolaSWR(pFwd, pRefl);
  w->rawCurrent = static_cast<float>(st.current);
  // Current and the two thermistors.
  storeTemperature(w, 0, st.temp1);
  storeTemperature(w, 1, st.temp2);
  // The fast reading is only there when the micro sends it.
  if (st.hasInput) {
    const float in = static_cast<float>(st.input);
    const float limit = (w->microCfgB == kMicroCfg120W) ? 130.0f : 70.0f;
    float p = k0 * in * in;
    w->pwrIn = p > limit ? limit : p;
  }
  // Fan and over-temperature.
  searchPercentVentola(w);
  ControlloSovraTemperatura(w);
  // What the link sends next.
  w->linearProcessStatus = NextStateAfterStatus(w, w->tuneState.load());
  return kPauseStatus;
}

}  // namespace

int NextStateAfterStatus(Works* w, uint8_t seen) {
  // The run lock is not held here: an abort (tuneState 0) may land at any moment, and it must win.
  // So 2 and 3 become 1 only while the run is still in the state that was seen.
  for (;;) {
    switch (seen) {
      case 0: {
        int next = PopCMDLinear(w);
        return next < 0 ? LIN_FM : next;
      }
      case 1:
        if (w->hooks.tuneTask) w->hooks.tuneTask(w);
        return LIN_MT1;
      default:
        if (w->tuneState.compare_exchange_strong(seen, 1)) return seen == 2 ? LIN_CP : LIN_ST;
        break;  // `seen` now holds the state that replaced it: decide again from that
    }
  }
}

int charToInt(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

float CalcolaSWR(float fwd, float refl) {
  float swr;
  if (fwd > 0.3f) {
    if (fwd < refl) {
      swr = 100.0f;
    } else {
      float r = std::sqrt(refl / fwd);
      swr = (r == 1.0f) ? 100.0f : (1.0f + r) / (1.0f - r);
    }
  } else {
    swr = refl > 0.5f ? 100.0f : 0.0f;
  }
  if (!(swr <= 100.0f)) swr = 100.0f;  // also a calibration that gives no number
  return swr;
}

float CalvTensVadcAmp(Works* w, int byte) { return PaVoltageFromReading(byte, w->microCfgB); }

int DecodeCatCmd(Works* w, const char* reply, int length) {
  if (length < 0) length = 0;
  const DecodedReply d = DecodeReply(reply, length, w->EnablePwrPeak != 0);
  auto text = [&] { return printable(reply, length); };
  switch (d.kind) {
    case ReplyKind::TooShort:
      // Too short to be anything: ask for the status again rather than wait on nothing.
      ktrace("---------------------------------------cmd non riconosciuto:%s\n", text().c_str());
      w->linearProcessStatus = LIN_ST;
      return kPauseReply;
    case ReplyKind::ErrorReply:
      ktrace("---------------------------------------CMD Errato:%s\n", text().c_str());
      GestRetrayCMD(w);
      return kPauseReply;
    case ReplyKind::Bad: return rejectReply(w, reply, length, d.why);
    case ReplyKind::Version: {
      std::lock_guard<std::mutex> lk(w->ampTextMut);
      memset(w->microVersion, 0, sizeof w->microVersion);
      memcpy(w->microVersion, d.text, 7);
      break;
    }
    case ReplyKind::Antenna: w->antennaIdx = static_cast<int>(d.number) - 1; break;
    case ReplyKind::Frequency:
      if (d.number > 0) w->freqMeasured = d.number;
      break;
    case ReplyKind::Ack: break;
    case ReplyKind::ClearedProtections: w->cpPending = 0; break;
    case ReplyKind::Bypass:
      ktrace(">> ByPass Ampl: %s\n", text().c_str());
      w->bypass = static_cast<int>(d.number);
      break;
    case ReplyKind::Network:
      w->anValue = static_cast<int>(d.number);
      if (w->txReqFlags & 0x10) w->txReqFlags |= 0x20;
      break;
    case ReplyKind::AutoProtections: ktrace("Protezioni automatiche setted : %s\n", text().c_str()); break;
    case ReplyKind::Filter: ktrace("Pilotaggio Relè : %s\n", text().c_str()); break;
    case ReplyKind::MicroReset:
      ktrace("RESET MICRO: %s\n", text().c_str());
      if (d.number == 0) w->microResetArmed = 1;
      ktrace("RESET MICRO ----------------------------------  %x\n", w->microResetArmed.load());
      break;
    case ReplyKind::GenericMode: ktrace("Impostazioni Generic mode : %s\n", text().c_str()); break;
    case ReplyKind::Settings: {
      {
        std::lock_guard<std::mutex> lk(w->ampTextMut);
        memcpy(w->settingsText, d.text, 10);
        w->settingsText[10] = 0;
      }
      ktrace("Impostazioni Generali : %s (%s)\n", d.text, text().c_str());
      break;
    }
    case ReplyKind::Config: return applyConfigBlock(w, d, text());
    case ReplyKind::Status: return applyStatus(w, d.status);
  }
  return acceptReply(w);
}
