// Decoding of the micro's replies: status, configuration blocks, settings, and the status buffer.
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

// Reader of a reply's fixed positions; nothing past its length is ever touched.
struct Reply {
  const char* r;
  int len;

  char at(int pos) const { return pos >= 0 && pos < len ? r[pos] : '\0'; }
  int hex(int pos) const { return charToInt(at(pos)); }
  // Plain decimal conversion of up to `width` characters: leading digits count, the rest reads as 0.
  uint64_t dec(int pos, int width) const {
    uint64_t v = 0;
    for (int i = pos; i < pos + width && i < len; ++i) {
      char c = r[i];
      if (c < '0' || c > '9') break;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
  }
  // A byte from two hex digits; a non-hex digit (-1) sets every bit it is combined into.
  uint8_t hexByte(int pos) const { return static_cast<uint8_t>((hex(pos) * 16) | hex(pos + 1)); }
  bool digits(int pos, int width) const {
    for (int i = pos; i < pos + width; ++i)
      if (at(i) < '0' || at(i) > '9') return false;
    return true;
  }
  bool hexDigits(int pos, int width) const {
    for (int i = pos; i < pos + width; ++i)
      if (hex(i) < 0) return false;
    return true;
  }
};

// Bad replies get the same treatment as an error reply: the command is sent again.
int rejectReply(Works* w, const Reply& rp, const char* why) {
  std::string p = printable(rp.r, rp.len);
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
  if (w->errorFlags.load() & kErrFlagDisplayCleared) w->errorFlags &= static_cast<uint8_t>(~(kErrFlagBiasReset | kErrFlagDisplayCleared));
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

int decodeConfigBlock(Works* w, const Reply& rp) {
  std::string p = printable(rp.r, rp.len);
  char block = rp.at(5);
  if (block == '0' || block == '1') {
    if (rp.len < 6 + 64) return rejectReply(w, rp, "configuration block too short");
    uint8_t bytes[32];
    for (int i = 0; i < 32; ++i) bytes[i] = rp.hexByte(6 + 2 * i);
    {
      std::lock_guard<std::mutex> lk(w->ampTextMut);
      memcpy(block == '0' ? w->microCfg0 : w->microCfg1, bytes, sizeof bytes);
    }
    ktrace(block == '0' ? "EE0:%s\n" : "EE1:%s\n", p.c_str());
    return acceptReply(w);
  }
  if (block == '2') {
    if (rp.len < 10) return rejectReply(w, rp, "configuration block too short");
    int a = rp.hexByte(6), b = rp.hexByte(8);
    w->microCfgA = a;
    w->microCfgB = b;
    number_ofStep_meter_FWD = (b == kMicroCfg120W) ? 120 : 60;
    ktrace("EE2: %x %x\n", a, b);
    return acceptReply(w);
  }
  return rejectReply(w, rp, "unknown configuration block");
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
  if ((f & kFaultPwrIn) && w->anValue == 1 && w->tuneState == 0 && !(w->AutoTuneMode & (kAtmStartedByTx | kAtmEnded | kAtmSettling | kAtmStartedByKey))) AddErrore(w, kErrorPwrIn);
}

int decodeStatus(Works* w, const Reply& rp) {
  if (rp.len < 30) return rejectReply(w, rp, "status reply too short");
  // A garbled reply can still end in ';': fields that do not read as their kind leave every
  // value on its last good state, or a stray byte becomes a frequency, a fan step or an alarm.
  if (!rp.hexDigits(2, 2) || !rp.digits(4, 24) || !rp.hexDigits(28, 2))
    return rejectReply(w, rp, "status fields garbled");
  if (w->EnablePwrPeak && rp.len >= 36 && !rp.digits(32, 4)) return rejectReply(w, rp, "status fields garbled");

  // The error reset's follow-up, once its burst went out.
  if (w->errorResend == 2) {
    GestErroreSerial(w);
    ktrace(">>> ERRORI: End Gest Errori!!\n");
    w->errorResend = 0;
  }
  // Status bytes and faults.
  int s0 = rp.hex(2), s1 = rp.hex(3);
  // Position 28 is the low nibble and 29 the high one.
  const int f = ((rp.hex(29) * 16) | rp.hex(28)) & 0xFF;
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
  const float pw = static_cast<float>(rp.dec(4, 4)), fwd = static_cast<float>(rp.dec(8, 4)),
              refl = static_cast<float>(rp.dec(12, 4));
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
  w->rawCurrent = static_cast<float>(rp.dec(16, 4));
  // Current and the two thermistors.
  storeTemperature(w, 0, static_cast<int>(rp.dec(20, 4)));
  storeTemperature(w, 1, static_cast<int>(rp.dec(24, 4)));
  // The fast reading is only there when the micro sends it.
  if (w->EnablePwrPeak && rp.len >= 36) {
    const float in = static_cast<float>(rp.dec(32, 4));
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
  Reply rp{reply, length};
  if (length < 3) {
    // Too short to be anything: ask for the status again rather than wait on nothing.
    ktrace("---------------------------------------cmd non riconosciuto:%s\n", printable(reply, length).c_str());
    w->linearProcessStatus = LIN_ST;
    return kPauseReply;
  }
  const char c2 = reply[2];
  if (c2 == '?' || c2 == '!' || c2 == '&') {
    ktrace("---------------------------------------CMD Errato:%s\n", printable(reply, length).c_str());
    GestRetrayCMD(w);
    return kPauseReply;
  }
  const char a = reply[0], b = reply[1];
  auto is = [&](const char* t) { return a == t[0] && b == t[1]; };

  if (is("VS")) {
    std::lock_guard<std::mutex> lk(w->ampTextMut);
    int n = length - 3 < 7 ? length - 3 : 7;
    memset(w->microVersion, 0, sizeof w->microVersion);
    memcpy(w->microVersion, reply + 3, static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      if (w->microVersion[i] < 0x20 || w->microVersion[i] > 0x7E) w->microVersion[i] = '.';
  } else if (is("SA")) {
    if (c2 < '1' || c2 > '3') return rejectReply(w, rp, "antenna out of range");
    w->antennaIdx = c2 - '1';
  } else if (is("FM")) {
    if (!rp.digits(3, 11)) return rejectReply(w, rp, "frequency not 11 digits");
    uint64_t f = rp.dec(3, 11);
    if (f > 0) w->freqMeasured = f;
  } else if (is("FA") || is("MT") || is("FS") || is("AT") || is("MP") || is("TS") || is("FN")) {
    // Acknowledgements only.
  } else if (is("CP")) {
    w->cpPending = 0;
  } else if (is("AB")) {
    ktrace(">> ByPass Ampl: %s\n", printable(reply, length).c_str());
    w->bypass = (c2 == '1') ? 1 : 0;
  } else if (is("AN")) {
    if (!rp.digits(2, 1)) return rejectReply(w, rp, "network value not a digit");
    w->anValue = static_cast<int>(rp.dec(2, 1));
    if (w->txReqFlags & 0x10) w->txReqFlags |= 0x20;
  } else if (is("PS")) {
    ktrace("Protezioni automatiche setted : %s\n", printable(reply, length).c_str());
  } else if (is("SF")) {
    ktrace("Pilotaggio Relè : %s\n", printable(reply, length).c_str());
  } else if (is("MR")) {
    ktrace("RESET MICRO: %s\n", printable(reply, length).c_str());
    if (c2 == '0') w->microResetArmed = 1;
    ktrace("RESET MICRO ----------------------------------  %x\n", w->microResetArmed.load());
  } else if (is("GM")) {
    ktrace("Impostazioni Generic mode : %s\n", printable(reply, length).c_str());
  } else if (is("GS")) {
    if (length < 12) return rejectReply(w, rp, "settings text too short");
    for (int i = 2; i < 12; ++i)
      if (static_cast<unsigned char>(reply[i]) < 0x20 || static_cast<unsigned char>(reply[i]) > 0x7E || reply[i] == ';')
        return rejectReply(w, rp, "settings text not printable");
    std::string text(reply + 2, 10);
    {
      std::lock_guard<std::mutex> lk(w->ampTextMut);
      memcpy(w->settingsText, text.data(), 10);
      w->settingsText[10] = 0;
    }
    ktrace("Impostazioni Generali : %s (%s)\n", text.c_str(), printable(reply, length).c_str());
  } else if (is("ER")) {
    return decodeConfigBlock(w, rp);
  } else if (is("ST")) {
    return decodeStatus(w, rp);
  } else {
    return rejectReply(w, rp, "unknown reply");
  }
  return acceptReply(w);
}

void CreaBufferDiStato(Works* w, char* out) {
  char t[320];
  memset(t, ' ', sizeof t);
  const uint64_t f = w->freq;
  char band[8] = "----";
  {
    std::shared_lock lk(w->tablesMut);
    int n = w->numBands;
    if (n > kBandRows) n = kBandRows;
    for (int i = 0; i < n; ++i) {
      const BandRow& r = w->tabAntenna[i];
      if (r.freqMin <= f && f <= r.freqMax) {
        snprintf(band, sizeof band, "%.7s", r.name);
        break;
      }
    }
  }
  snprintf(t, sizeof t, "%-4.4s", band);
  const int mw = w->ModeWorkIdx;
  t[4] = mw == 1 ? '1' : mw == 2 ? '2' : '0';
  t[5] = static_cast<char>(w->Attenuator + '0');
  t[6] = static_cast<char>(w->antennaIdx + '0');
  t[7] = w->bypass ? '1' : '0';
  t[8] = (static_cast<uint8_t>(w->TUNEenabled.load()) & 0x80) ? 'N' : (w->atuBypass ? 'B' : 'T');
  t[9] = w->tuneState != 0 ? '1' : '0';
  // Each field at its fixed place; a wider value is cut by the field written after it.
  snprintf(t + 10, sizeof t - 10, "%06.02f", static_cast<double>(w->swr.load()));
  snprintf(t + 16, sizeof t - 16, "%06.2f", static_cast<double>(w->pwrFwd.load()));
  snprintf(t + 22, sizeof t - 22, "%06.02f", static_cast<double>(w->pwrPW.load()));
  const float t1 = w->temp1, t2 = w->temp2;
  snprintf(t + 28, sizeof t - 28, "%04.01f", static_cast<double>(t1 > t2 ? t1 : t2));
  snprintf(t + 32, sizeof t - 32, "%4.1f", static_cast<double>(CalvTensVadcAmp(w, w->gpioReading[3])));
  snprintf(t + 36, sizeof t - 36, "%04.01f", static_cast<double>(w->rawCurrent / 4096.0f * 14.05f));
  snprintf(t + 40, sizeof t - 40, "%02d", w->NumBanco.load());
  const int last = LastError(w);
  t[42] = last < 0 ? '0' : static_cast<char>(last + 1);
  memset(t + 43, '0', 8);
  t[51] = ';';
  memcpy(out, t, kStatusBufferLen);
  out[kStatusBufferLen] = 0;
}
