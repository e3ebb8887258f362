// Setup file: defaults, reading into the record and its mirrors, writing back through the safe writer.
#include "core/setup.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/works.h"
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
  size_t off;        // field in Mirtsetup (unused for TcpPort)
  size_t width;
};

#define F(field) offsetof(Mirtsetup, field), sizeof(Mirtsetup::field)
enum KeyId {
  kEnableKeyb, kEnableSpi, kEnableTouch, kDelayedTouch, kEnableGPIO, kEnableRead, kEnableWrite, kEnableCAT,
  kEnableLinear, kEnableTime, kWebSocket, kPitch, kQuality, kAudioIn, kInChannels, kAudioCompress, kMultiplier,
  kAudioOut, kServer, kTcpPort, kCatPort, kSerPort, kLinPort, kNumAntenna, kEnablePwrPeak, kTempMode,
  kFreqSensIn, kFreqPeriodTime, kAttenuator, kAttenuatorTune, kSWRescAutoTune, kViewTimeStr, kViewTemp,
  kMaxTemperature, kAutoTuneMaxCicli, kPowerUnits, kSaveScreenIdx, kAutoTuneMode, kEnableFFT, kDivide,
  kMaxTempAllowed, kPSpar1, kPSpar2, kIsteresi1, kIsteresi2, kPSpar3, kPSpar4, kOffsetPlot, kCatSerialPort,
  kTUNEenabled, kNumBanco, kGMpar1, kGMpar2, kPeak_media, kPeak_ValDec, kPeak_TimeDec, kPeak_Time, kMAXbank,
  kBTN_longpress_Time, kEnableDebug, kEnable1600, kEnableLOGTemp, kKeyCount
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

// Reads a decimal integer at the start of the value as "%d" does; false when nothing matches.
bool scanInt(const char* s, int& out) { return sscanf(s, "%d", &out) == 1; }

// Takes the value of one key into the record and its mirror.
void applyValue(Works* w, KeyId id, const char* v) {
  const Key& k = kKeys[id];
  Mirtsetup* s = w->setup;
  int n = 0;
  if (k.form == CHAR) {
    char c = v[0];
    if (c == '\0') {
      // An empty value would put a NUL into the file at the next write; keep the current one.
      klog(LOG_ERR, "setup: empty value for %s ignored", k.name);
      return;
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
    return;
  }
  if (id == kTcpPort) {
    short port;
    if (sscanf(v, "%hd", &port) == 1) w->tcpPort = port;
    return;
  }
  setField(fieldOf(w, k), k.width, v);
  switch (id) {
    case kAudioCompress: if (scanInt(v, n)) w->AudioCompress = n; break;
    case kMultiplier: if (scanInt(v, n)) w->audioFrame = n * 240; break;
    case kServer:
      snprintf(w->serverName, sizeof w->serverName, "%s", v);
      break;
    case kFreqPeriodTime: if (scanInt(v, n)) w->FreqPeriodTime = n; break;
    case kSWRescAutoTune: if (scanInt(v, n)) w->SWRescAutoTune = static_cast<float>(n / 100.0); break;
    case kMaxTemperature: if (scanInt(v, n)) w->MaxTemperature = static_cast<float>(n / 10.0); break;
    case kDivide: w->fftDivide = static_cast<int>(strtol(v, nullptr, 10)); break;
    case kMaxTempAllowed: if (scanInt(v, n)) w->MaxTempAllowed = n; break;
    case kPSpar1: if (scanInt(v, n)) w->PSpar1 = n; break;
    case kPSpar2: if (scanInt(v, n)) w->PSpar2 = n; break;
    case kPSpar3: if (scanInt(v, n)) w->PSpar3 = n; break;
    case kPSpar4: if (scanInt(v, n)) w->PSpar4 = n; break;
    case kOffsetPlot: if (scanInt(v, n)) w->OffsetPlot = n / 10; break;
    case kTUNEenabled: if (scanInt(v, n)) w->TUNEenabled = static_cast<int8_t>(n); break;
    case kNumBanco: if (scanInt(v, n)) w->NumBanco = n; break;
    case kGMpar1: if (scanInt(v, n)) w->GMpar1 = n; break;
    case kGMpar2: if (scanInt(v, n)) w->GMpar2 = n; break;
    case kPeak_media: if (scanInt(v, n)) fattoremedia = n; break;
    case kPeak_ValDec: if (scanInt(v, n)) PeakDecrement = n / 10.0; break;
    case kPeak_TimeDec: if (scanInt(v, n)) PeakDecrementTime = n; break;
    case kPeak_Time: if (scanInt(v, n)) TimerPeakSec = n; break;
    case kMAXbank: if (scanInt(v, n)) w->MAXbank = n; break;
    case kBTN_longpress_Time: if (scanInt(v, n)) TIME_LONG_PRESS = n / 10.0; break;
    default: break;
  }
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

std::string formatLines(Works* w) {
  std::string out;
  for (int i = 0; i < kKeyCount; ++i) {
    const Key& k = kKeys[i];
    out += k.name;
    // Numbers go out whole from their mirrors: a field is one character short for "-128".
    std::string number = mirrorNumberText(w, static_cast<KeyId>(i));
    if (!number.empty()) out += number;
    else if (k.form == CHAR) out += getChar(w, k);
    else out += fieldText(w, k);
    out += '\n';
  }
  return out;
}

void logSettings(Works* w) {
  for (int i = 0; i < kKeyCount; ++i) {
    const Key& k = kKeys[i];
    std::string name(k.name, strlen(k.name) - 2);
    const char* n = name.c_str();
    switch (i) {
      case kTcpPort: klog(LOG_INFO, "%s: -%d-", n, w->tcpPort.load()); continue;
      case kAudioCompress: klog(LOG_INFO, "%s: -%d-", n, w->AudioCompress.load()); continue;
      case kDivide: klog(LOG_INFO, "%s: -%d-", n, w->fftDivide.load()); continue;
      case kSWRescAutoTune: klog(LOG_INFO, "%s: -%d-", n, static_cast<int>(scaledBack(w->SWRescAutoTune, 100))); continue;
      case kMaxTemperature: klog(LOG_INFO, "%s: -%d-", n, static_cast<int>(scaledBack(w->MaxTemperature, 10))); continue;
      case kPeak_ValDec: klog(LOG_INFO, "%s: -%d-", n, static_cast<int>(scaledBack(PeakDecrement, 10))); continue;
      default: break;
    }
    if (k.form == CHAR) klog(LOG_INFO, "%s: -%c-", n, getChar(w, k));
    else klog(LOG_INFO, "%s: -%s-", n, fieldText(w, k).c_str());
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
  char* raw = reinterpret_cast<char*>(w->setup);
  for (size_t i = 0; i < sizeof(Mirtsetup); ++i) setFlag(raw[i], i + 1 < sizeof(Mirtsetup) ? '1' : '\0');
  Mirtsetup* s = w->setup;
  for (char* f : {&s->EnableSpi, &s->EnableTouch, &s->DelayedTouch, &s->EnableRead, &s->EnableWrite, &s->EnableCAT,
                  &s->EnablePwrPeak, &s->TempMode, &s->FreqSensIn, &s->Attenuator, &s->AttenuatorTune,
                  &s->ViewTimeStr, &s->ViewTemp, &s->AutoTuneMaxCicli, &s->PowerUnits, &s->SaveScreenIdx,
                  &s->AutoTuneMode, &s->EnableFFT})
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

void readSetup(Works* w) {
  initSetup(w);
  std::string path = rootPath(kSetupPath);
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    ktrace("Init Setup! ");
    writeSetup(w);
    klog(LOG_ERR, "can't open /opt/set/setup.txt");
    return;
  }
  char line[100];
  {
    std::lock_guard<std::mutex> lk(g_setupMut);
    while (fgets(line, sizeof line, f)) {
      size_t len = strlen(line);
      if (len && line[len - 1] == '\n') line[--len] = 0;
      if (len && line[len - 1] == '\r') line[--len] = 0;
      for (int i = 0; i < kKeyCount; ++i) {
        size_t kl = strlen(kKeys[i].name);
        if (strncmp(line, kKeys[i].name, kl) == 0) {
          applyValue(w, static_cast<KeyId>(i), line + kl);
          break;
        }
      }
    }
  }
  fclose(f);
  logSettings(w);
}

std::string setupFileText(Works* w) {
  std::lock_guard<std::mutex> lk(g_setupMut);
  refreshMirroredText(w);
  return formatLines(w);
}

int writeSetup(Works* w) {
  optSetWriteFile(kSetupPath, setupFileText(w));
  return 0;
}
