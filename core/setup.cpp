// Setup file: defaults, reading into the record and its mirrors, writing back through the safe writer.
#include "core/setup.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/works.h"
#include "platform/config_file.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"

namespace {

const char* kSetupPath = "/opt/set/setup.txt";

// Refreshing the mirrored text and printing it must not interleave between writers.
std::mutex g_setupMut;

enum Form { CHAR, TEXT, NUMBER };

struct Key {
  const char* name;  // with its colon and blank
  Form form;
  size_t off;  // field in Mirtsetup (unused for TcpPort)
  size_t width;
};

#define F(field) offsetof(Mirtsetup, field), sizeof(Mirtsetup::field)
enum KeyId {
  kEnableKeyb,
  kEnableSpi,
  kEnableTouch,
  kDelayedTouch,
  kEnableGPIO,
  kEnableRead,
  kEnableWrite,
  kEnableCAT,
  kEnableLinear,
  kEnableTime,
  kWebSocket,
  kPitch,
  kQuality,
  kAudioIn,
  kInChannels,
  kAudioCompress,
  kMultiplier,
  kAudioOut,
  kServer,
  kTcpPort,
  kCatPort,
  kSerPort,
  kLinPort,
  kNumAntenna,
  kEnablePwrPeak,
  kTempMode,
  kFreqSensIn,
  kFreqPeriodTime,
  kAttenuator,
  kAttenuatorTune,
  kSWRescAutoTune,
  kViewTimeStr,
  kViewTemp,
  kMaxTemperature,
  kAutoTuneMaxCicli,
  kPowerUnits,
  kSaveScreenIdx,
  kAutoTuneMode,
  kEnableFFT,
  kDivide,
  kMaxTempAllowed,
  kPSpar1,
  kPSpar2,
  kIsteresi1,
  kIsteresi2,
  kPSpar3,
  kPSpar4,
  kOffsetPlot,
  kCatSerialPort,
  kTUNEenabled,
  kNumBanco,
  kGMpar1,
  kGMpar2,
  kPeak_media,
  kPeak_ValDec,
  kPeak_TimeDec,
  kPeak_Time,
  kMAXbank,
  kBTN_longpress_Time,
  kEnableDebug,
  kEnable1600,
  kEnableLOGTemp,
  kKeyCount
};

const Key kKeys[kKeyCount] = {
    {"EnableKeyb: ", CHAR, F(EnableKeyb)},
    {"EnableSpi: ", CHAR, F(EnableSpi)},
    {"EnableTouch: ", CHAR, F(EnableTouch)},
    {"DelayedTouch: ", CHAR, F(DelayedTouch)},
    {"EnableGPIO: ", CHAR, F(EnableGPIO)},
    {"EnableRead: ", CHAR, F(EnableRead)},
    {"EnableWrite: ", CHAR, F(EnableWrite)},
    {"EnableCAT: ", CHAR, F(EnableCAT)},
    {"EnableLinear: ", CHAR, F(EnableLinear)},
    {"EnableTime: ", CHAR, F(EnableTime)},
    {"WebSocket: ", CHAR, F(WebSocket)},
    {"Pitch: ", TEXT, F(Pitch)},
    {"Quality: ", TEXT, F(Quality)},
    {"AudioIn: ", TEXT, F(AudioIn)},
    {"InChannels: ", TEXT, F(InChannels)},
    {"AudioCompress: ", NUMBER, F(AudioCompress)},
    {"Multiplier: ", TEXT, F(Multiplier)},
    {"AudioOut: ", TEXT, F(AudioOut)},
    {"Server: ", TEXT, F(Server)},
    {"TcpPort: ", NUMBER, 0, 0},
    {"CatPort: ", TEXT, F(CatPort)},
    {"SerPort: ", TEXT, F(SerPort)},
    {"LinPort: ", TEXT, F(LinPort)},
    {"NumAntenna: ", CHAR, F(NumAntenna)},
    {"EnablePwrPeak: ", CHAR, F(EnablePwrPeak)},
    {"TempMode: ", CHAR, F(TempMode)},
    {"FreqSensIn: ", CHAR, F(FreqSensIn)},
    {"FreqPeriodTime: ", TEXT, F(FreqPeriodTime)},
    {"Attenuator: ", CHAR, F(Attenuator)},
    {"AttenuatorTune: ", CHAR, F(AttenuatorTune)},
    {"SWRescAutoTune: ", TEXT, F(SWRescAutoTune)},
    {"ViewTimeStr: ", CHAR, F(ViewTimeStr)},
    {"ViewTemp: ", CHAR, F(ViewTemp)},
    {"MaxTemperature: ", TEXT, F(MaxTemperature)},
    {"AutoTuneMaxCicli: ", CHAR, F(AutoTuneMaxCicli)},
    {"PowerUnits: ", CHAR, F(PowerUnits)},
    {"SaveScreenIdx: ", CHAR, F(SaveScreenIdx)},
    {"AutoTuneMode: ", CHAR, F(AutoTuneMode)},
    {"EnableFFT: ", CHAR, F(EnableFFT)},
    {"Divide: ", NUMBER, F(Divide)},
    {"MaxTempAllowed: ", TEXT, F(MaxTempAllowed)},
    {"PSpar1: ", TEXT, F(PSpar1)},
    {"PSpar2: ", TEXT, F(PSpar2)},
    {"Isteresi1: ", CHAR, F(Isteresi1)},
    {"Isteresi2: ", CHAR, F(Isteresi2)},
    {"PSpar3: ", TEXT, F(PSpar3)},
    {"PSpar4: ", TEXT, F(PSpar4)},
    {"OffsetPlot: ", TEXT, F(OffsetPlot)},
    {"CatSerialPort: ", TEXT, F(CatSerialPort)},
    {"TUNEenabled: ", TEXT, F(TUNEenabled)},
    {"NumBanco: ", TEXT, F(NumBanco)},
    {"GMpar1: ", TEXT, F(GMpar1)},
    {"GMpar2: ", TEXT, F(GMpar2)},
    {"Peak_media: ", TEXT, F(Peak_media)},
    {"Peak_ValDec: ", TEXT, F(Peak_ValDec)},
    {"Peak_TimeDec: ", TEXT, F(Peak_TimeDec)},
    {"Peak_Time: ", TEXT, F(Peak_Time)},
    {"MAXbank: ", TEXT, F(MAXbank)},
    {"BTN_longpress_Time: ", TEXT, F(BTN_longpress_Time)},
    {"EnableDebug: ", CHAR, F(EnableDebug)},
    {"Enable1600: ", CHAR, F(Enable1600)},
    {"EnableLOGTemp: ", CHAR, F(EnableLOGTemp)},
};
#undef F

char* fieldOf(Works* w, const Key& k) { return reinterpret_cast<char*>(w->setup) + k.off; }

void putChar(Works* w, const Key& k, char c) { setFlag(*fieldOf(w, k), c); }
char getChar(Works* w, const Key& k) { return getFlag(*fieldOf(w, k)); }

// Scaled settings are written back rounded, so that the value read is the value written:
// 1.15 is 1.1499999 in binary and truncation would make an untouched 115 creep down to 114.
long scaledBack(double v, double scale) { return std::lround(v * scale); }

// Reads a decimal integer at the start of the value as "%d" does (leading blanks, a sign, the
// digits; what follows is ignored); false when nothing matches. A number too large for a long is
// given as LONG_MAX or LONG_MIN, which no bound below admits.
bool scanLong(const char* s, long& out) {
  char* end = nullptr;
  errno = 0;
  out = strtol(s, &end, 10);
  return end != s;
}

struct Bound {
  long lo, hi;
};

// What each number's use can take. Values outside are refused and the setting keeps its value.
// Whatever fits a field of width w (w - 1 characters) also keeps every scaling below int's range.
Bound boundOf(KeyId id, size_t width) {
  switch (id) {
    case kAudioCompress: return {0, 512000};  // the encoder's bitrate range; 0 = no compression
    case kMultiplier: return {1, 12};         // x 240 samples at 48 kHz: up to the 60 ms frame
    case kTcpPort: return {1, 32767};         // held in a short
    case kDivide: return {0, 99};
    case kTUNEenabled: return {-128, 127};  // eight flag bits
    case kNumBanco: return {0, 19};         // the banks that have files
    case kMAXbank: return {1, 20};
    case kOffsetPlot: return {-9999, 99999};
    default: break;
  }
  long hi = 1;
  for (size_t i = 1; i < width; ++i) hi *= 10;
  return {0, hi - 1};
}

// The characters a one-character setting may hold.
const char* charsOf(KeyId id) {
  switch (id) {
    case kWebSocket: return "012";
    case kNumAntenna: return "123";
    case kAttenuator:
    case kAttenuatorTune: return "0123";
    case kAutoTuneMaxCicli:
    case kSaveScreenIdx: return "01234";
    case kFreqSensIn:
    case kIsteresi1:
    case kIsteresi2: return "0123456789";
    default: return "01";
  }
}

bool isPortKey(KeyId id) { return id == kCatPort || id == kSerPort || id == kLinPort || id == kCatSerialPort; }

// Settings whose text is itself the value in use: cutting it would name another device or host.
int refusedSlot(KeyId id) {
  switch (id) {
    case kLinPort: return 0;
    case kSerPort: return 1;
    case kCatPort: return 2;
    case kCatSerialPort: return 3;
    case kServer: return 4;
    default: return -1;
  }
}

// Keys whose value is a number held in works or a global (Multiplier: as samples per frame).
bool hasNumberMirror(KeyId id) {
  switch (id) {
    case kAudioCompress:
    case kMultiplier:
    case kTcpPort:
    case kFreqPeriodTime:
    case kSWRescAutoTune:
    case kMaxTemperature:
    case kDivide:
    case kMaxTempAllowed:
    case kPSpar1:
    case kPSpar2:
    case kPSpar3:
    case kPSpar4:
    case kOffsetPlot:
    case kTUNEenabled:
    case kNumBanco:
    case kGMpar1:
    case kGMpar2:
    case kPeak_media:
    case kPeak_ValDec:
    case kPeak_TimeDec:
    case kPeak_Time:
    case kMAXbank:
    case kBTN_longpress_Time: return true;
    default: return false;
  }
}

std::string keyName(const Key& k) { return std::string(k.name, strlen(k.name) - 2); }

// Takes the value of one key into the record and its mirror; false when the value is refused
// (logged by the caller's summary, and the setting keeps what it had).
bool applyValue(Works* w, KeyId id, const char* v) {
  const Key& k = kKeys[id];
  const std::string name = keyName(k);
  Mirtsetup* s = w->setup;
  if (k.form == CHAR) {
    char c = v[0];
    if (c == '\0') {
      // An empty value would put a NUL into the file at the next write; keep the current one.
      klog(LOG_ERR, "setup: empty value for %s ignored", k.name);
      return false;
    }
    if (!strchr(charsOf(id), c) || v[1 + strspn(v + 1, " \t")] != '\0') {
      klog(LOG_ERR, "setup: %s \"%.20s\" is not one of %s, kept at %c", name.c_str(), v, charsOf(id), getChar(w, k));
      return false;
    }
    putChar(w, k, c);
    switch (id) {
      case kNumAntenna: w->antennaIdx = c - '1'; break;
      case kEnablePwrPeak: w->EnablePwrPeak = static_cast<uint8_t>(c - '0'); break;
      case kTempMode: w->TempMode = static_cast<uint8_t>(c - '0'); break;
      case kFreqSensIn: w->FreqSensIn = static_cast<uint8_t>(c - '0'); break;
      case kAttenuator: w->Attenuator = static_cast<uint8_t>(c - '0'); break;
      case kAttenuatorTune: w->AttenuatorTune = static_cast<uint8_t>(c - '0'); break;
      case kViewTimeStr: w->ViewTimeStr = static_cast<uint8_t>(c - '0'); break;
      case kViewTemp: w->ViewTemp = static_cast<uint8_t>(c - '0'); break;
      case kAutoTuneMaxCicli: w->AutoTuneMaxCicli = static_cast<uint8_t>(c - '0'); break;
      case kPowerUnits: w->PowerUnits = static_cast<uint8_t>(c - '0'); break;
      case kSaveScreenIdx: w->SaveScreenIdx = static_cast<uint8_t>(c - '0'); break;
      case kAutoTuneMode: {
        uint8_t bit0 = static_cast<uint8_t>((c - '0') & 1);
        w->AutoTuneMode = static_cast<uint8_t>((w->AutoTuneMode & ~1u) | bit0);
        break;
      }
      case kEnableFFT: setFlag(s->EnableSpectrum, c); break;
      case kIsteresi1: w->Isteresi1 = c - '0'; break;
      case kIsteresi2: w->Isteresi2 = c - '0'; break;
      case kEnableDebug: w->EnableDebug = static_cast<uint8_t>(c - '0'); break;
      case kEnable1600: setFlag(s->EnableSpectrum, '1'); break;
      case kEnableLOGTemp: w->EnableLOGTemp = static_cast<uint8_t>(c - '0'); break;
      default: break;
    }
    return true;
  }
  const size_t len = strlen(v);
  const int slot = refusedSlot(id);
  if (slot >= 0) {
    if (len >= k.width) {
      // Cut to its field, "/dev/ttyUSB10" would be "/dev/ttyUSB1": another device. The value is
      // kept out of use and goes back to the file as it was read.
      klog(LOG_ERR, "setup: %s \"%s\" is longer than %zu characters: not used%s", name.c_str(), v, k.width - 1,
           isPortKey(id) ? ", its link reports a port error" : "");
      w->refusedSetting[slot] = v;
      w->refusedSettings.fetch_or(1u << slot);
      setField(fieldOf(w, k), k.width, "");
      if (id == kServer) w->serverName[0] = '\0';
      return false;
    }
    w->refusedSettings.fetch_and(~(1u << slot));
    w->refusedSetting[slot].clear();
    setField(fieldOf(w, k), k.width, v);
    if (id == kServer) snprintf(w->serverName, sizeof w->serverName, "%s", v);
    return true;
  }
  if (!hasNumberMirror(id)) {
    if (len >= k.width)
      klog(LOG_ERR, "setup: %s \"%.40s\" is longer than %zu characters, cut to its field", name.c_str(), v,
           k.width - 1);
    setField(fieldOf(w, k), k.width, v);
    return true;
  }
  long n = 0;
  // A scan that matches nothing leaves the mirror unchanged, as it always did.
  if (!scanLong(v, n)) return true;
  const Bound b = boundOf(id, k.width);
  if (n < b.lo || n > b.hi) {
    klog(LOG_ERR, "setup: %s %.20s is outside %ld..%ld, refused", name.c_str(), v, b.lo, b.hi);
    return false;
  }
  const int i = static_cast<int>(n);
  if (k.width > 0) setField(fieldOf(w, k), k.width, std::to_string(i).c_str());
  switch (id) {
    case kAudioCompress: w->AudioCompress = i; break;
    case kMultiplier: w->audioFrame = i * 240; break;
    case kTcpPort: w->tcpPort = static_cast<short>(i); break;
    case kFreqPeriodTime: w->FreqPeriodTime = i; break;
    case kSWRescAutoTune: w->SWRescAutoTune = static_cast<float>(i / 100.0); break;
    case kMaxTemperature: w->MaxTemperature = static_cast<float>(i / 10.0); break;
    case kDivide: w->fftDivide = i; break;
    case kMaxTempAllowed: w->MaxTempAllowed = i; break;
    case kPSpar1: w->PSpar1 = i; break;
    case kPSpar2: w->PSpar2 = i; break;
    case kPSpar3: w->PSpar3 = i; break;
    case kPSpar4: w->PSpar4 = i; break;
    case kOffsetPlot: w->OffsetPlot = i / 10; break;
    case kTUNEenabled: w->TUNEenabled = static_cast<int8_t>(i); break;
    case kNumBanco: w->NumBanco = i; break;
    case kGMpar1: w->GMpar1 = i; break;
    case kGMpar2: w->GMpar2 = i; break;
    case kPeak_media: fattoremedia = i; break;
    case kPeak_ValDec: PeakDecrement = i / 10.0; break;
    case kPeak_TimeDec: PeakDecrementTime = i; break;
    case kPeak_Time: TimerPeakSec = i; break;
    case kMAXbank: w->MAXbank = i; break;
    case kBTN_longpress_Time: TIME_LONG_PRESS = i / 10.0; break;
    default: break;
  }
  return true;
}

// The text of a numeric mirror as the file carries it; empty for keys without a numeric mirror.
std::string mirrorNumberText(Works* w, KeyId id) {
  long v;
  switch (id) {
    case kFreqPeriodTime: v = w->FreqPeriodTime; break;
    case kSWRescAutoTune: v = scaledBack(w->SWRescAutoTune, 100); break;
    case kMaxTemperature: v = scaledBack(w->MaxTemperature, 10); break;
    case kMaxTempAllowed: v = w->MaxTempAllowed; break;
    case kPSpar1: v = w->PSpar1; break;
    case kPSpar2: v = w->PSpar2; break;
    case kPSpar3: v = w->PSpar3; break;
    case kPSpar4: v = w->PSpar4; break;
    // The plot offset keeps whole units: 25 was read as 2 and goes back as 20.
    case kOffsetPlot: v = static_cast<long>(w->OffsetPlot * 10); break;
    case kTUNEenabled: v = w->TUNEenabled; break;
    case kNumBanco: v = w->NumBanco; break;
    case kGMpar1: v = w->GMpar1; break;
    case kGMpar2: v = w->GMpar2; break;
    case kPeak_media: v = fattoremedia; break;
    case kPeak_ValDec: v = scaledBack(PeakDecrement, 10); break;
    case kPeak_TimeDec: v = PeakDecrementTime; break;
    case kPeak_Time: v = TimerPeakSec; break;
    case kMAXbank: v = w->MAXbank; break;
    case kBTN_longpress_Time: v = scaledBack(TIME_LONG_PRESS, 10); break;
    case kAudioCompress: v = w->AudioCompress; break;
    case kTcpPort: v = w->tcpPort; break;
    case kDivide: v = w->fftDivide; break;
    default: return {};
  }
  return std::to_string(v);
}

// Prints every mirror into its text field before the record is written.
void refreshMirroredText(Works* w) {
  auto digit = [&](KeyId id, int v) { putChar(w, kKeys[id], static_cast<char>(v + '0')); };
  putChar(w, kKeys[kNumAntenna], static_cast<char>(w->antennaIdx + '1'));
  digit(kEnablePwrPeak, w->EnablePwrPeak);
  digit(kTempMode, w->TempMode);
  digit(kFreqSensIn, w->FreqSensIn);
  digit(kAttenuator, w->Attenuator);
  digit(kAttenuatorTune, w->AttenuatorTune);
  digit(kViewTimeStr, w->ViewTimeStr);
  digit(kViewTemp, w->ViewTemp);
  digit(kAutoTuneMaxCicli, w->AutoTuneMaxCicli);
  digit(kPowerUnits, w->PowerUnits);
  digit(kSaveScreenIdx, w->SaveScreenIdx);
  digit(kAutoTuneMode, w->AutoTuneMode & 1);
  digit(kIsteresi1, w->Isteresi1);
  digit(kIsteresi2, w->Isteresi2);
  digit(kEnableDebug, w->EnableDebug);
  digit(kEnableLOGTemp, w->EnableLOGTemp);
  for (int i = 0; i < kKeyCount; ++i) {
    KeyId id = static_cast<KeyId>(i);
    if (kKeys[i].width == 0 || id == kAudioCompress || id == kDivide) continue;
    std::string t = mirrorNumberText(w, id);
    if (!t.empty()) setField(fieldOf(w, kKeys[i]), kKeys[i].width, t.c_str());
  }
}

std::string fieldText(Works* w, const Key& k) {
  const char* f = fieldOf(w, k);
  return std::string(f, strnlen(f, k.width));
}

// The value a key has in the running unit, as the file carries it (mirrors refreshed first).
std::string valueText(Works* w, KeyId id) {
  const Key& k = kKeys[id];
  // Numbers go out whole from their mirrors: a field is one character short for "-128".
  std::string number = mirrorNumberText(w, id);
  if (!number.empty()) return number;
  if (k.form == CHAR) return std::string(1, getChar(w, k));
  return fieldText(w, k);
}

// The file's text: a value refused as too long goes back as it was read, while its field is unused.
std::string formatLines(Works* w) {
  std::string out;
  for (int i = 0; i < kKeyCount; ++i) {
    const KeyId id = static_cast<KeyId>(i);
    out += kKeys[i].name;
    const int slot = refusedSlot(id);
    if (slot >= 0 && (w->refusedSettings.load() & (1u << slot)) && fieldText(w, kKeys[i]).empty())
      out += w->refusedSetting[slot];
    else
      out += valueText(w, id);
    out += '\n';
  }
  return out;
}

// Logs the value each setting runs with: mirrored ones from their mirrors (the field of
// TUNEenabled is one character short for "-128").
void logSettings(Works* w) {
  for (int i = 0; i < kKeyCount; ++i) {
    const KeyId id = static_cast<KeyId>(i);
    klog(LOG_INFO, "%s: -%s-", keyName(kKeys[i]).c_str(), valueText(w, id).c_str());
  }
}

}  // namespace

void setField(char* field, size_t width, const char* text) {
  if (width == 0) return;
  size_t n = strnlen(text, width - 1);
  memcpy(field, text, n);
  memset(field + n, 0, width - n);
}

void initSetup(Works* w) {
  InitGlobalVar(w);
  snprintf(w->wsockPassword, sizeof w->wsockPassword, "%s", "tarabumbalin");
  std::lock_guard<std::mutex> lk(g_setupMut);
  w->refusedSettings = 0;
  for (std::string& text : w->refusedSetting) text.clear();
  char* raw = reinterpret_cast<char*>(w->setup);
  for (size_t i = 0; i < sizeof(Mirtsetup); ++i) setFlag(raw[i], i + 1 < sizeof(Mirtsetup) ? '1' : '\0');
  Mirtsetup* s = w->setup;
  for (char* f :
       {&s->EnableSpi, &s->EnableTouch, &s->DelayedTouch, &s->EnableRead, &s->EnableWrite, &s->EnableCAT,
        &s->EnablePwrPeak, &s->TempMode, &s->FreqSensIn, &s->Attenuator, &s->AttenuatorTune, &s->ViewTimeStr,
        &s->ViewTemp, &s->AutoTuneMaxCicli, &s->PowerUnits, &s->SaveScreenIdx, &s->AutoTuneMode, &s->EnableFFT})
    setFlag(*f, '0');
  setFlag(s->Isteresi1, '1');
  setFlag(s->Isteresi2, '1');
  setField(s->Pitch, sizeof s->Pitch, "2500");
  setField(s->Quality, sizeof s->Quality, "100");
  setField(s->AudioIn, sizeof s->AudioIn, "hw:1");
  setField(s->InChannels, sizeof s->InChannels, "1");
  setField(s->AudioCompress, sizeof s->AudioCompress, "0");
  setField(s->Multiplier, sizeof s->Multiplier, "2");
  setField(s->AudioOut, sizeof s->AudioOut, "hw:1");
  setField(s->Server, sizeof s->Server, "127.0.0.1");
  snprintf(w->serverName, sizeof w->serverName, "%s", "127.0.0.1");
  setField(s->CatPort, sizeof s->CatPort, "/dev/ttyUSB0");
  setField(s->SerPort, sizeof s->SerPort, "/dev/ttyUSB1");
  setField(s->LinPort, sizeof s->LinPort, "/dev/ttyAMA0");
  setField(s->FreqPeriodTime, sizeof s->FreqPeriodTime, "10");
  setField(s->SWRescAutoTune, sizeof s->SWRescAutoTune, "0");
  setField(s->MaxTemperature, sizeof s->MaxTemperature, "600");
  setField(s->Divide, sizeof s->Divide, "0");
  setField(s->MaxTempAllowed, sizeof s->MaxTempAllowed, "60");
  setField(s->PSpar1, sizeof s->PSpar1, "1");
  setField(s->PSpar2, sizeof s->PSpar2, "1000");
  setField(s->PSpar3, sizeof s->PSpar3, "0");
  setField(s->PSpar4, sizeof s->PSpar4, "0");
  setField(s->OffsetPlot, sizeof s->OffsetPlot, "0");
  setField(s->CatSerialPort, sizeof s->CatSerialPort, "/dev/ttyUSB1");
  setField(s->TUNEenabled, sizeof s->TUNEenabled, "0");
  setField(s->NumBanco, sizeof s->NumBanco, "1");
  setField(s->GMpar1, sizeof s->GMpar1, "2");
  setField(s->GMpar2, sizeof s->GMpar2, "100");
  setField(s->Peak_media, sizeof s->Peak_media, "2");
  setField(s->Peak_ValDec, sizeof s->Peak_ValDec, "10");
  setField(s->Peak_TimeDec, sizeof s->Peak_TimeDec, "1");
  setField(s->Peak_Time, sizeof s->Peak_Time, "3000");
  setField(s->MAXbank, sizeof s->MAXbank, "20");
  setField(s->BTN_longpress_Time, sizeof s->BTN_longpress_Time, "5");
}

namespace {
// Far above the 62 lines of the file: a larger one is not a setup file.
constexpr size_t kSetupLineMax = 99;  // the unit's line buffer

// Reads the text into the record; returns how many lines were refused (too long, or a value refused).
int applyText(Works* w, const std::string& text, int& tooLong) {
  int refused = 0;
  tooLong = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.resize(strnlen(line.c_str(), line.size()));  // a NUL byte ends the line
    for (int i = 0; i < kKeyCount; ++i) {
      size_t kl = strlen(kKeys[i].name);
      if (strncmp(line.c_str(), kKeys[i].name, kl) != 0) continue;
      const KeyId id = static_cast<KeyId>(i);
      // A longer line would have been read in pieces; a device path or host name still gets its
      // refusal instead of a default that might name another device.
      if (line.size() > kSetupLineMax && refusedSlot(id) < 0) {
        ++tooLong;
        ++refused;
      } else if (!applyValue(w, id, line.c_str() + kl)) {
        ++refused;
      }
      break;
    }
  }
  return refused;
}
}  // namespace

void readSetup(Works* w) {
  initSetup(w);
  std::string path = rootPath(kSetupPath);
  std::string text;
  if (!readConfigFile(path, text, "setup.txt")) {
    const int err = errno;
    if (err == ENOENT) {
      ktrace("Init Setup! ");
      writeSetup(w);
      klog(LOG_ERR, "can't open /opt/set/setup.txt");
      return;
    }
    // The operator's settings may still be in there: never write over them.
    std::string aside;
    if (optSetSetAside(kSetupPath, aside) == 0)
      klog(LOG_ERR, "can't read /opt/set/setup.txt (%s): kept as %s, the unit runs on defaults", fileErrorText(err),
           aside.c_str());
    else
      klog(LOG_ERR, "can't read /opt/set/setup.txt (%s): left in place, the unit runs on defaults", fileErrorText(err));
    return;
  }
  int refused = 0, tooLong = 0;
  {
    std::lock_guard<std::mutex> lk(g_setupMut);
    refused = applyText(w, text, tooLong);
    refreshMirroredText(w);
  }
  if (tooLong > 0) klog(LOG_ERR, "setup.txt: %d lines longer than %zu characters refused", tooLong, kSetupLineMax);
  if (refused > 0) klog(LOG_ERR, "setup.txt: %d lines refused, those settings keep their values", refused);
  logSettings(w);
}

std::string setupFileText(Works* w) {
  std::lock_guard<std::mutex> lk(g_setupMut);
  refreshMirroredText(w);
  return formatLines(w);
}

int writeSetup(Works* w) {
  // Built and written under one lock: two writers can never save the older settings last.
  std::lock_guard<std::mutex> lk(g_setupMut);
  refreshMirroredText(w);
  optSetWriteFile(kSetupPath, formatLines(w));
  return 0;
}

bool portDevice(Works* w, const char* key, std::string& device, std::string& problem) {
  for (int i = 0; i < kKeyCount; ++i) {
    const KeyId id = static_cast<KeyId>(i);
    if (!isPortKey(id) || keyName(kKeys[i]) != key) continue;
    std::lock_guard<std::mutex> lk(g_setupMut);
    device = fieldText(w, kKeys[i]);
    const int slot = refusedSlot(id);
    if ((w->refusedSettings.load() & (1u << slot)) && device.empty()) {
      char text[96];
      snprintf(text, sizeof text, "setting %s is longer than %zu characters, no device opened", key,
               kKeys[i].width - 1);
      problem = text;
      return false;
    }
    if (device.empty()) {
      problem = std::string("setting ") + key + " is empty, no device opened";
      return false;
    }
    return true;
  }
  device.clear();
  problem = std::string("no port setting ") + key;
  return false;
}
