// The menu model: the 30 parameters with their value texts, keys, limits and stores, and the key label table.
#include "ui/menu.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/menu_lan.h"

namespace {

struct ParamDef {
  int number;
  const char* title;
  const char* name;
  uint8_t address;
};
constexpr ParamDef kParams[kParamCount] = {
    {1, "MAX BANK", " ", 0},
    {2, "FREQ", "Input Sens", 0},
    {3, "FREQ", "Period (ms)", 0},
    {4, "AUTO TUNE", "Enable BIX Tune", 0},
    {5, "AUTO TUNE", "Force Attenuator", 0},
    {6, "AUTO TUNE", "Target SWR (0=Off)", 0},
    {7, "AUTO TUNE", "AutoTune Timeout", 0},
    {8, "AUTO TUNE", "ATU Installed", 0},
    {9, "KORVANE USE MODE", " ", 0},
    {10, "NETWORK LAN", "IP", 1},
    {11, "NETWORK LAN", "SUBNET", 1},
    {12, "NETWORK LAN", "GATEWAY", 1},
    {13, "NETWORK LAN", "DNS", 1},
    {14, "PLOT", "Ref Lev", 0},
    {15, "PLOT", "Ref Pos", 0},
    {16, "PLOT", "Point Div", 0},
    {17, "PLOT", "Offset", 0},
    {50, "VIEW SCREEN", "DateTime", 0},
    {51, "TEMPERATURE UNITS", " ", 0},
    {52, "PEAK POWER METER", " ", 0},
    {53, "PEAK POWER METER", "Release Time (ms)", 0},
    {54, "TEMPERATURE ALARM", " SET POINT", 0},
    {55, "SET POWER UNITS", " ", 0},
    {56, "SCREEN SAVER TIMEOUT", " ", 0},
    {57, "FACTORY DEFAULT", " ", 0},
    {58, "BUTTON TIME", "Long Press Time", 0},
    {96, "OFF HW", " ", 0},
    {97, "FW UPDATE", " ", 0},
    {98, "UI UPDATE", " ", 0},
    {99, "REMOTE SERVICE", " ", 0},
};

// Entries of the parameter list by position.
enum Param : int {
  kPMaxBank = 0,
  kPFreqSens,
  kPFreqPeriod,
  kPAutoTune,
  kPForceAtt,
  kPTargetSwr,
  kPTuneTimeout,
  kPAtuInstalled,
  kPUseMode,
  kPIp,
  kPSubnet,
  kPGateway,
  kPDns,
  kPRefLev,
  kPRefPos,
  kPPointDiv,
  kPOffset,
  kPDateTime,
  kPTempUnits,
  kPPeakMeter,
  kPPeakRelease,
  kPTempAlarm,
  kPPowerUnits,
  kPSaverTimeout,
  kPFactory,
  kPLongPress,
  kPOffHw,
  kPFwUpdate,
  kPUiUpdate,
  kPRemoteService,
};

// Key labels (top / bottom per key) and long-press flags of pages 0 to 11.
struct PageDef {
  const char* top[kMenuKeys];
  const char* bottom[kMenuKeys];
  uint8_t flags;
};
constexpr PageDef kPages[kMenuPagesUsed] = {
    {{"  MEM", " IN-ATT", "   ANT", "  TUNE", "   SET", "   VIEW "},
     {"BANK1", "  0dB", "     1", " ", " ", "    1"},
     0x21},
    {{" BACK ", "  ", "    UP", "  DOWN", " ", "  ENTER"}, {" ", " ", " ", " ", " ", " "}, 0},
    {{" ", " < ", "   > ", "      - ", "     + ", "  ENTER"}, {" ", " ", " ", " ", " ", " "}, 0},
    {{" BACK ", " ", " ", "  TUNE", "   ATU", "MANUAL"}, {" ", " ", " ", "   Off", "   On", "Tune"}, 0},
    {{" BACK ", " down L", "   up L", " down C", "   up C", "STARTTX"},
     {"ByP", " ", "     0", " ", "     0", " "},
     0x01},
    {{"  ", "  ", "    ", "     ", " Retry", "Cancel"}, {" ", " ", " ", " ", " ", " "}, 0},
    {{" BACK", " INTERF", "    UP", "  DOWN", "   UTIL", " ENTER"}, {" ", "Generic", " ", " ", " ", " "}, 0},
    {{"BACK", "  <", "    >", "  + ", " - ", "SAVE"}, {" ", " ", " ", " ", " ", " "}, 0},
    {{"  ESC", "  BANK", "   ANT", " ", " ", "   SAVE"}, {" ", "   0", "     1", " ", " ", " "}, 0},
    {{"BACK", "  COPY", "   RESET", "  ", " ", " "}, {" ", " ", " ", " ", " ", " "}, 0},
    {{"BACK", " ORIGIN", "  DEST", "  ", " ", " START"}, {" ", "    0", "    0", " ", " ", "COPY"}, 0},
    {{"BACK", " BANK", "  ", "  ", " ", " START"}, {" ", "    0", " ", " ", " ", "RESET"}, 0},
};

constexpr const char* kSaveScreenVal[5] = {"5min", "10min", "20min", "30min", "60min"};

int store(Works* w) { return writeSetup(w); }

// Hundredths and tenths are edited as whole numbers: a float stepped by 0.01 a hundred times
// does not land on the next unit, and the limits would be missed by a hair.
int hundredths(float v) { return static_cast<int>(std::lround(v * 100.0)); }
int tenths(double v) { return static_cast<int>(std::lround(v * 10.0)); }

// Remote mode switch (− or +): leaving is always possible; entering checks the devices first.
void switchRemoteMode(Works* w) {
  if (w->remoteMode == 1) {
    w->remoteMode = 0;
    return;
  }
  Mirtsetup* s = w->setup;
  if (getFlag(s->EnableFFT) != '0') {
    w->remoteMode = 1;
    return;
  }
  // Without the remote checks the devices count as missing: the transceiver's USB device first.
  const int settings = w->hooks.findRemoteSettings ? w->hooks.findRemoteSettings(w) : 1;
  const int devices = w->hooks.getAudioBIX ? w->hooks.getAudioBIX(w) : 0;
  const char serial = getFlag(s->EnableSerial);
  ktrace("j=%d i=%d enaser=%c\n", devices, settings, serial);
  if (settings == 0 && serial == '1' && devices > 0) {
    w->remoteMode = 1;
    w->remoteThreadsEnded = 0;
    ktrace("Remote GO!\n");
    return;
  }
  w->remoteThreadsEnded = 1;
  if (settings == 1) AddErrore(w, kErrorRemoteUsb);
  if (settings == 2) AddErrore(w, kErrorRemoteCat);
  if (settings == 3) AddErrore(w, kErrorAudioRead);
  if (devices <= 0) AddErrore(w, kErrorAudioMissing);
  if (serial != '1') AddErrore(w, kErrorBixModeOff);
  ktrace("Remote ERROR!\n");
}

// Remote mode ENTER: start what the mode needs, or stop the remote threads. Stopping waits for
// the threads to see their flags, so it runs off the key thread.
void applyRemoteMode(Works* w) {
  Mirtsetup* s = w->setup;
  if (w->remoteMode == 1) {
    if (getFlag(s->WebSocket) == '0') {
      setFlag(s->WebSocket, '1');
      if (w->hooks.startWebSocket) w->hooks.startWebSocket(w);
    }
    if (w->hooks.startRemote) w->hooks.startRemote(w);
  } else if (w->hooks.stopRemote) {
    auto stop = w->hooks.stopRemote;
    RunFileWrite(ServiceJobs(w), [w, stop] { stop(w); });
  }
}

void runServiceCommand(Works* w, const char* what, const char* cmd) {
  std::string command = cmd;
  std::string name = what;
  RunFileWrite(ServiceJobs(w), [command, name] {
    const int rc = runShell(command);
    if (rc != 0) klog(LOG_ERR, "%s: %s ended with %s", name.c_str(), command.c_str(), shellStatusText(rc).c_str());
  });
}

// "Toggle" entries: any key but ENTER flips them.
bool toggleKey(int action) { return action != kParamEnter; }

}  // namespace

void InitMenuMirt(Works* w) {
  for (int i = 0; i < kParamCount; ++i) {
    MenuParEntry& e = w->menuPar[i];
    e = MenuParEntry{};
    e.number = kParams[i].number;
    snprintf(e.title, sizeof e.title, "%s", kParams[i].title);
    snprintf(e.sub[0].name, sizeof e.sub[0].name, "%s", kParams[i].name);
    e.sub[0].address = kParams[i].address;
    e.enabled = 1;
  }
  for (int p = 0; p < kMenuPagesUsed; ++p) {
    for (int k = 0; k < kMenuKeys; ++k) {
      SetKeyLabel(w, p, k + 1, false, kPages[p].top[k]);
      SetKeyLabel(w, p, k + 1, true, kPages[p].bottom[k]);
    }
    w->Mirtmenu[p].flags = kPages[p].flags;
  }
  // The error table holds its texts from the record's start; the link has been running since before
  // the menus and may already have rewritten a second line (a fault's name), which must stay.
  w->paramCount = kParamCount;
  w->paramSub = 0;
  ServiceJobs(w);
}

DeferredWrites* ServiceJobs(Works* w) {
  std::call_once(w->serviceJobsMade, [w] { w->serviceJobs = std::make_unique<DeferredWrites>(); });
  return w->serviceJobs.get();
}

void FlushServiceJobs(Works* w) { ServiceJobs(w)->flush(); }

void LoadParameterMenu(Works* w, char* out, size_t size, int index, int sub) {
  if (size == 0) return;
  out[0] = '\0';
  const uint8_t upd = w->updateFlags;
  switch (index) {
    case kPMaxBank: snprintf(out, size, "%d", w->MAXbank.load()); break;
    case kPFreqSens: snprintf(out, size, "%s", w->FreqSensIn ? "FQ2" : "FQ1"); break;
    case kPFreqPeriod: snprintf(out, size, "%d", w->FreqPeriodTime.load()); break;
    case kPAutoTune: snprintf(out, size, "%s", (w->AutoTuneMode & kAtmEnabled) ? "On" : "Off"); break;
    case kPForceAtt: snprintf(out, size, "%sdB", AttVectStr[w->AttenuatorTune & 3]); break;
    case kPTargetSwr: snprintf(out, size, "%02.02f", static_cast<double>(w->SWRescAutoTune)); break;
    case kPTuneTimeout: snprintf(out, size, "%s", SWRTimeout[w->AutoTuneMaxCicli % 5]); break;
    case kPAtuInstalled: snprintf(out, size, "%s", (static_cast<uint8_t>(w->TUNEenabled) & 0x80) ? "No" : "Yes"); break;
    case kPUseMode: snprintf(out, size, "%s", w->remoteMode == 1 ? "Remote" : "Local"); break;
    case kPIp:
    case kPSubnet:
    case kPGateway:
    case kPDns: LanAddressText(index - kPIp, out, size); break;
    case kPRefLev: snprintf(out, size, "%d", w->RefLevel.load()); break;
    case kPRefPos: snprintf(out, size, "%d", w->RefPos.load()); break;
    case kPPointDiv: snprintf(out, size, "%d", w->PointDiv.load()); break;
    case kPOffset: snprintf(out, size, "%3.02f", w->OffsetPlot.load()); break;
    case kPDateTime: snprintf(out, size, "%s", w->ViewTimeStr ? "ON" : "OFF"); break;
    case kPTempUnits: snprintf(out, size, "%s", w->TempMode ? "Fahrenheit" : "Celsius"); break;
    case kPPeakMeter: snprintf(out, size, "%s", w->EnablePwrPeak ? "ON" : "OFF"); break;
    case kPPeakRelease: snprintf(out, size, "%i", TimerPeakSec.load()); break;
    case kPTempAlarm: snprintf(out, size, "%02.02f", static_cast<double>(w->MaxTemperature)); break;
    case kPPowerUnits: snprintf(out, size, "%s", w->PowerUnits ? "dBm" : "Watt"); break;
    case kPSaverTimeout: snprintf(out, size, "%s", kSaveScreenVal[w->SaveScreenIdx % 5]); break;
    case kPFactory: snprintf(out, size, "%s", w->factoryRequest ? "Set Default" : "No Default"); break;
    case kPLongPress: snprintf(out, size, "%01.01f sec", TIME_LONG_PRESS.load()); break;
    case kPOffHw: snprintf(out, size, "%s", "OFF"); break;
    case kPFwUpdate: snprintf(out, size, "%s", (upd & kUpdFwArmed) ? "ON" : "OFF"); break;
    case kPUiUpdate: snprintf(out, size, "%s", (upd & kUpdUiArmed) ? "ON" : "OFF"); break;
    case kPRemoteService: snprintf(out, size, "%s", (upd & kUpdRemoteArmed) ? "ON" : "OFF"); break;
    default: break;
  }
}

int ModifyParameter(Works* w, int action) {
  const int idx = w->paramIndex;
  if (action < kParamEnter || action > kParamRight || idx < 0 || idx >= kParamCount) {
    klog(LOG_ERR, "ModifyParameter: no action %d on parameter %d", action, idx);
    return 0;
  }
  if (w->paramSub != 0) return 0;
  const bool minus = action == kParamMinus, plus = action == kParamPlus;
  const bool step = minus || plus;
  auto flip = [](std::atomic<uint8_t>& v) { v = v ? 0 : 1; };
  switch (idx) {
    case kPMaxBank: {
      int v = w->MAXbank;
      if (minus) {
        v -= 1;
        if (v <= 1) v = 20;
      } else if (plus) {
        v += 1;
        if (v >= 21) v = 2;
      }
      w->MAXbank = v;
      if (!step) store(w);
      return 0;
    }
    case kPFreqSens:
      if (toggleKey(action)) {
        flip(w->FreqSensIn);
      } else {
        IncPNTIn_CMDLinear(LIN_FS, w);
        store(w);
      }
      return 0;
    case kPFreqPeriod: {
      int v = w->FreqPeriodTime;
      if (minus && v >= 11) v -= 10;
      if (plus && v <= 9999) v += 10;
      w->FreqPeriodTime = v;
      if (action == kParamEnter) {
        IncPNTIn_CMDLinear(LIN_FS, w);
        store(w);
      }
      return step ? 1 : 0;
    }
    case kPAutoTune:
      if (toggleKey(action))
        w->AutoTuneMode = (w->AutoTuneMode & kAtmEnabled) ? 0 : 1;
      else
        store(w);
      return 0;
    case kPForceAtt:
      if (toggleKey(action))
        w->AttenuatorTune = static_cast<uint8_t>((w->AttenuatorTune + 1) % 4);
      else
        store(w);
      return 0;
    case kPTargetSwr: {
      int v = hundredths(w->SWRescAutoTune);
      if (minus) {
        v -= 1;
        if (v < 100) v = 0;
      } else if (plus) {
        v += 1;
        if (v < 100) v = 100;
      }
      if (v < 0) v = 0;
      if (v > 1000) v = 1000;
      w->SWRescAutoTune = static_cast<float>(v / 100.0);
      if (action == kParamEnter) store(w);
      return action == kParamEnter ? 0 : 1;
    }
    case kPTuneTimeout:
    case kPSaverTimeout: {
      std::atomic<uint8_t>& f = idx == kPTuneTimeout ? w->AutoTuneMaxCicli : w->SaveScreenIdx;
      int v = f;
      if (minus && v > 0) v -= 1;
      if (plus) v = v >= 4 ? 0 : v + 1;
      f = static_cast<uint8_t>(v);
      if (action == kParamEnter) store(w);
      return 0;
    }
    case kPAtuInstalled:
      if (toggleKey(action)) {
        const uint8_t v = static_cast<uint8_t>(w->TUNEenabled) ^ 0x80;
        w->TUNEenabled = static_cast<int8_t>(v);
        ktrace("----------> SAVE ATU: 0x%0X\n", v);
      } else {
        store(w);
      }
      return 0;
    case kPUseMode:
      if (step) switchRemoteMode(w);
      if (action == kParamEnter) applyRemoteMode(w);
      return 0;
    case kPIp:
    case kPSubnet:
    case kPGateway:
    case kPDns:
      if (action == kParamEnter)
        LanSaveInBackground(w);
      else
        LanEditStep(idx - kPIp, action);
      return 0;
    case kPRefLev:
      if (minus) w->RefLevel -= 10;
      if (plus) w->RefLevel += 10;
      return 0;
    case kPRefPos: {
      int v = w->RefPos;
      if (minus && v > 0) v -= 1;
      if (plus && v <= 9) v += 1;
      w->RefPos = v;
      return 0;
    }
    case kPPointDiv: {
      int v = w->PointDiv;
      if (minus && v > 1) v /= 2;
      if (plus && v <= 19) v = v * 2 == 4 ? 5 : v * 2;
      w->PointDiv = v;
      return 0;
    }
    case kPOffset: {
      int v = tenths(w->OffsetPlot);
      if (minus) v -= 1;
      if (plus) v += 1;
      w->OffsetPlot = v / 10.0;
      if (!step) store(w);
      return action == kParamEnter ? 0 : 1;
    }
    case kPDateTime:
      if (toggleKey(action))
        flip(w->ViewTimeStr);
      else
        store(w);
      return 0;
    case kPTempUnits:
      if (toggleKey(action))
        flip(w->TempMode);
      else
        store(w);
      return 0;
    case kPPeakMeter:
      if (toggleKey(action))
        flip(w->EnablePwrPeak);
      else
        store(w);
      return 0;
    case kPPowerUnits:
      if (toggleKey(action))
        flip(w->PowerUnits);
      else
        store(w);
      return 0;
    case kPPeakRelease: {
      int v = TimerPeakSec;
      if (minus) v = v - 10 < 0 ? 0 : v - 10;
      if (plus) v = v + 10 > 5000 ? 5000 : v + 10;
      TimerPeakSec = v;
      if (!step) store(w);
      return action == kParamEnter ? 0 : 1;
    }
    case kPTempAlarm: {
      int v = tenths(w->MaxTemperature);
      const int hi = w->MaxTempAllowed * 10;
      if (minus) v -= 1;
      if (plus) v += 1;
      if (v > hi) v = hi;
      if (v < 200) v = 200;
      w->MaxTemperature = static_cast<float>(v / 10.0);
      if (action == kParamEnter) store(w);
      return action == kParamEnter ? 0 : 1;
    }
    case kPFactory:
      if (toggleKey(action)) {
        flip(w->factoryRequest);
      } else if (w->factoryRequest) {
        FactoryReset(w);
        w->factoryRequest = 0;
      }
      return 0;
    case kPLongPress: {
      int v = tenths(TIME_LONG_PRESS);
      if (minus) v = v - 1 < 3 ? 3 : v - 1;
      if (plus) v = v + 1 > 50 ? 50 : v + 1;
      TIME_LONG_PRESS = v / 10.0;
      if (!step) store(w);
      return 0;
    }
    case kPOffHw: {
      std::lock_guard<std::mutex> lk(w->gpioMut);
      w->gpioCode = 133;
      return 0;
    }
    case kPFwUpdate:
      if (toggleKey(action)) {
        w->updateFlags ^= kUpdFwArmed;
      } else if (w->updateFlags & kUpdFwArmed) {
        IncPNTIn_CMDLinear(LIN_MR1, w);
        ktrace("Start AGGFW\n");
      }
      return 0;
    case kPUiUpdate:
      if (toggleKey(action)) {
        w->updateFlags ^= kUpdUiArmed;
      } else if (w->updateFlags & kUpdUiArmed) {
        ktrace("Start AGG UI...\n");
        runServiceCommand(w, "UI UPDATE", rootPath("/opt/Korvane/getpack.sh").c_str());
      }
      return 0;
    case kPRemoteService:
      if (toggleKey(action)) {
        w->updateFlags ^= kUpdRemoteArmed;
      } else if (w->updateFlags & kUpdRemoteArmed) {
        // The service shell waits for a whole session: the keys go on meanwhile.
        RunFileWrite(ServiceJobs(w), [] {
          ktrace("launching ssh\n");
          klog(LOG_INFO, "launching ssh");
          runShell(rootPath("/opt/sshshell"));
          klog(LOG_INFO, "launched ssh");
        });
        ktrace("Start REMOTE SRV\n");
      }
      return 0;
    default: return 0;
  }
}

void ModifytabAntenna(Works* w, int minus) {
  const int row = w->tabRow, col = w->tabCol;
  if (row < 0 || row >= w->numBands || row >= kBandRows) return;
  std::unique_lock lk(w->tablesMut);
  BandRow& r = w->tabAntenna[row];
  switch (col) {
    case 0: r.pwr = static_cast<float>(std::lround(r.pwr * 10.0f + (minus ? -1 : 1)) / 10.0); break;
    case 1:
      if (minus)
        r.att = r.att == 0 ? 0 : static_cast<uint8_t>(r.att - 1);
      else
        r.att = r.att >= 3 ? 0 : static_cast<uint8_t>(r.att + 1);
      break;
    case 2: r.ampEnable = r.ampEnable ? 0 : 1; break;
    case 3:
      if (minus)
        r.ant = r.ant <= 1 ? 3 : static_cast<uint8_t>(r.ant - 1);
      else
        r.ant = r.ant >= 3 ? 1 : static_cast<uint8_t>(r.ant + 1);
      break;
    case 4: r.atu = r.atu == 1 ? 0 : 1; break;
    default: break;
  }
}

namespace {
// What the record's defaults would reset but belongs to the running unit, not to the settings: the
// link's hand-shake and model code, the interface in use, the amplifier's state and the thresholds
// sent, the fan and the over-temperature episode.
struct LiveState {
  int running, cpPending, microCfgA, microCfgB, modeWork, bypass, bypassCmd, curConfigRow, gpioCode;
  uint64_t freq, lastFreq;
  int tsPwin, tsFwd, tsRefl, tsCorrente, meterPage, fanWanted, fanSent;
  uint8_t overTemp, logTemp;

  explicit LiveState(Works* w)
      : running(w->running),
        cpPending(w->cpPending),
        microCfgA(w->microCfgA),
        microCfgB(w->microCfgB),
        modeWork(w->ModeWorkIdx),
        bypass(w->bypass),
        bypassCmd(w->bypassCmdState),
        curConfigRow(w->curConfigRow),
        gpioCode(w->gpioCode),
        freq(w->freq),
        lastFreq(w->lastFreq),
        tsPwin(w->tsPwin),
        tsFwd(w->tsFwd),
        tsRefl(w->tsRefl),
        tsCorrente(w->tsCorrente),
        meterPage(w->meterPage),
        fanWanted(w->fanWanted),
        fanSent(w->fanSent),
        overTemp(w->overTempQueued),
        logTemp(w->logTempActive) {}

  void restore(Works* w) const {
    w->running = running;
    w->cpPending = cpPending;
    w->microCfgA = microCfgA;
    w->microCfgB = microCfgB;
    w->ModeWorkIdx = modeWork;
    w->bypass = bypass;
    w->bypassCmdState = bypassCmd;
    w->curConfigRow = curConfigRow;
    {
      std::lock_guard<std::mutex> lk(w->gpioMut);
      w->gpioCode = gpioCode;
    }
    w->freq = freq;
    w->lastFreq = lastFreq;
    w->tsPwin = tsPwin;
    w->tsFwd = tsFwd;
    w->tsRefl = tsRefl;
    w->tsCorrente = tsCorrente;
    w->meterPage = meterPage;
    w->fanWanted = fanWanted;
    w->fanSent = fanSent;
    w->overTempQueued = overTemp;
    w->logTempActive = logTemp;
  }
};
}  // namespace

void FactoryReset(Works* w) {
  for (int b = 0; b < kMaxBanks; ++b)
    for (int k = 0; k < 4; ++k) DeleteFileConf(w, b, k);
  // The default file is what a record fresh from its defaults writes: the running record's mirrors
  // would otherwise print the old settings back into it.
  {
    auto scratch = std::make_unique<Works>();
    Mirtsetup record{};
    scratch->setup = &record;
    initSetup(scratch.get());
    writeSetup(scratch.get());
  }
  const LiveState live(w);
  readSetup(w);
  live.restore(w);
  // The bank's tables come back from its (now absent) files; the interface in use is live state
  // and stays, with the transceiver threads that serve it.
  {
    std::lock_guard lk(w->bankMut);
    const int bank = w->NumBanco >= 0 && w->NumBanco < kMaxBanks ? w->NumBanco.load() : 0;
    LoadTabConfig(w, bank);
    for (int a = 0; a < kTuneMemAntennas; ++a) LoadTabAtu(w, bank, a);
  }
  w->ModeWorkIdx = live.modeWork;
  w->bandIdx = -1;
  klog(LOG_INFO, "factory default settings restored");
}
