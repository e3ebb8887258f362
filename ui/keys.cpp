// Dispatch of the six front-panel keys: what each key does on each page.
#include <cstdio>
#include <mutex>

#include "amp/link.h"
#include "amp/reset_flow.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/meters.h"
#include "ui/png.h"

namespace {

// Background changes from the key thread go under the screen lock (SetWorkImg takes it itself):
// the supervisor composes its frames from the same buffers.
void workImage(Works* w) { SetWorkImg(w); }
void statusImage(Works* w, const char* name) {
  if (!w->fb) return;
  std::lock_guard<std::mutex> lk(w->fb->drawMut);
  snprintf(w->pngName, sizeof w->pngName, "%s", name);
  getPng(w, 1);
  fbSetBack(w->fb);
}

void clearStatusBit(Works* w, uint8_t bit) { w->statusPage.fetch_and(static_cast<uint8_t>(~bit)); }
void clearMsg(Works* w, uint8_t bit) { w->msgFlags.fetch_and(static_cast<uint8_t>(~bit)); }

// Steps a bank number through 0 .. MAXbank - 1.
void nextBank(Works* w, std::atomic<int>& bank) {
  int b = bank + 1;
  if (b >= w->MAXbank || b < 0) b = 0;
  bank = b;
}

void saveBankEntry(Works* w) { SaveToBank(w, w->NumBanco, w->antennaIdx); }

void toInterfacePage(Works* w) {
  w->menuPage = kPageInterface;
  LblMenuAntenna(w);
}

void keyMain(Works* w, int key, bool held) {
  // The information page is left by any key of this page except the long VIEW that shows it.
  if (!(key == 6 && held) && !(key == 2 && held) && EscFromStatus(w)) return;
  switch (key) {
    case 1:
      if (held && !(w->statusPage & kStatusInterface)) {
        w->statusPage.fetch_or(kStatusInterface);
        statusImage(w, "statusB");
        toInterfacePage(w);
      } else if (w->statusPage & kStatusInterface) {
        clearStatusBit(w, kStatusInterface);
        workImage(w);
      } else {
        ChangeBanco(w);
      }
      break;
    case 2:
      if (!held) StepAttenuator(w);
      break;
    case 3: {
      int a = w->antennaIdx + 1;
      if (a > 2 || a < 0) a = 0;
      w->antennaIdx = a;
      IncPNTIn_CMDLinear(LIN_SA, w);
      saveBankEntry(w);
      break;
    }
    case 4: w->menuPage = kPageTune; break;
    case 5: w->menuPage = kPageParamList; break;
    case 6:
      if (held) {
        w->statusPage.fetch_or(kStatusInfo);
        statusImage(w, "status");
        w->infoRemoteOk = w->hooks.findRemoteSettings && w->hooks.findRemoteSettings(w) == 0;
        w->infoAudioOk = w->hooks.getAudioBIX && w->hooks.getAudioBIX(w) > 0;
        // The information page shows the transceiver's data: its packet link is started here, but
        // only where the port is the transceiver's (work mode 1); otherwise it is absent or belongs
        // to the FT-817 poll.
        Mirtsetup* s = w->setup;
        if (w->ModeWorkIdx == 1 && s && getFlag(s->EnableSerial) == '0') {
          setFlag(s->EnableSerial, '1');
          if (w->hooks.startThreadBIX) w->hooks.startThreadBIX(w);
        }
      } else {
        int m = w->meterPage + 1;
        if (m > 5 || m < 1) m = 1;
        w->meterPage = m;
        w->statusPage = 0;
        w->angleRightPeak = 0;
        workImage(w);
        klog(LOG_INFO, "type to %d\n", m);
      }
      break;
    default: break;
  }
}

void keyParamList(Works* w, int key) {
  const int n = w->paramCount > 0 ? w->paramCount.load() : kParamCount;
  int i = w->paramIndex;
  switch (key) {
    case 1: w->menuPage = kPageMain; break;
    case 3: w->paramIndex = i <= 0 || i >= n ? n - 1 : i - 1; break;
    case 4: w->paramIndex = i >= n - 1 || i < 0 ? 0 : i + 1; break;
    case 6: w->menuPage = kPageParamEdit; break;
    default: break;
  }
}

int keyParamEdit(Works* w, int key) {
  switch (key) {
    case 2: return ModifyParameter(w, kParamLeft);
    case 3: return ModifyParameter(w, kParamRight);
    case 4: return ModifyParameter(w, kParamMinus);
    case 5: return ModifyParameter(w, kParamPlus);
    case 6:
      ModifyParameter(w, kParamEnter);
      w->menuPage = (w->statusPage & kStatusInterface) ? kPageInterface : kPageParamList;
      return 0;
    default: return 0;
  }
}

void keyTune(Works* w, int key, bool held) {
  clearMsg(w, kMsgBypassNotSaved);
  switch (key) {
    case 1:
      if (w->tuneState == 0) w->menuPage = kPageMain;
      break;
    case 4: GoTune(w); break;
    case 5: TuneManualBypass(w); break;
    case 6:
      if (held) {
        // The whole amplifier set-up again, in the order the micro expects it.
        IncPNTIn_CMDLinear(LIN_MP0, w);
        IncPNTIn_CMDLinear(LIN_CP, w);
        if (w->ModeWorkIdx != 0) IncPNTIn_CMDLinear(LIN_FA, w);
        IncPNTIn_CMDLinear(LIN_TS, w);
        IncPNTIn_CMDLinear(LIN_AB0, w);
        IncPNTIn_CMDLinear(LIN_AN, w);
        IncPNTIn_CMDLinear(LIN_SA, w);
        IncPNTIn_CMDLinear(LIN_AT, w);
      } else if (w->manualRequested) {
        w->manualRequested = 0;
      } else {
        w->manualRequested = 1;
        IncPNTIn_CMDLinear(LIN_MT, w);
        w->menuPage = kPageManualTune;
        ImpostaLblManuale(w);
      }
      break;
    default: break;
  }
}

int keyManualTune(Works* w, int key, bool held) {
  switch (key) {
    case 1:
      if (held) {
        TuneManualMode(w);  // only while no tune runs
      } else {
        w->txReqFlags.fetch_or(kManualActive);
        w->txReqFlags.fetch_and(static_cast<uint8_t>(~kManualTx));
        w->saveBank = w->NumBanco.load();
        w->saveAnt = w->antennaIdx.load();
        w->menuPage = kPageSaveTune;
      }
      return 0;
    case 2:
    case 3:
    case 4:
    case 5:
      if (key <= 3)
        TuneManualL(w, key == 2 ? -1 : 1);
      else
        TuneManualC(w, key == 4 ? -1 : 1);
      clearMsg(w, kMsgSecondFunction);
      return held ? 1 : 0;
    case 6:
      if (w->txReqFlags & kManualTx) {
        w->txReqFlags.fetch_and(static_cast<uint8_t>(~(kManualTx | kManualAnForced | kManualAnConfirmed)));
        w->txReqFlags.fetch_or(kManualActive);
        SetKeyLabel(w, kPageManualTune, 6, false, "StartTX");
      } else {
        if (w->stStatus0 & kStatus0AnActive) {
          w->anValue = 0;
          IncPNTIn_CMDLinear(LIN_AN, w);
          w->txReqFlags.fetch_or(kManualAnForced);
        }
        w->txReqFlags.fetch_or(kManualActive | kManualTx);
        SetKeyLabel(w, kPageManualTune, 6, false, "StopTX");
      }
      return 0;
    default: return 0;
  }
}

void keyDeviceError(Works* w, int key) {
  if (key != 5 && key != 6) return;
  const int port = w->portError;
  if (port <= 0) return;
  Mirtsetup* s = w->setup;
  if (key == 5 || port == 1) {
    switch (port) {
      case 1:
        if (w->hooks.startLinear) w->hooks.startLinear(w);
        break;
      case 2:
        if (w->hooks.startThreadCATserial) w->hooks.startThreadCATserial(w);
        break;
      case 3:
        if (w->hooks.startThreadBIX) w->hooks.startThreadBIX(w);
        break;
      case 5:
        if (w->hooks.startFft) w->hooks.startFft(w);
        break;
      default: break;
    }
  } else if (s) {
    // Cancel: the device stays off.
    if (port == 2) setFlag(s->EnableCatSerial, '0');
    if (port == 3) setFlag(s->EnableSerial, '0');
    if (port == 5) setFlag(s->EnableFFT, '0');
  }
  w->portError = -1;
}

void keyInterface(Works* w, int key) {
  const int n = w->numBands;
  switch (key) {
    case 1:
      clearStatusBit(w, kStatusInterface);
      workImage(w);
      w->menuPage = kPageMain;
      break;
    case 2:
      ChangeInterfaceBanco(w);
      LblMenuAntenna(w);
      break;
    case 3:
    case 4: {
      if (n <= 0) break;
      int r = w->tabRow + (key == 3 ? -1 : 1);
      if (r < 0) r = n - 1;
      if (r >= n) r = 0;
      w->tabRow = r;
      break;
    }
    case 5: w->menuPage = kPageUtilities; break;
    case 6:
      w->tabCol = 0;
      w->menuPage = kPageBandEdit;
      break;
    default: break;
  }
}

void keyBandEdit(Works* w, int key) {
  switch (key) {
    case 1: {
      // Edits are discarded: the table comes back from the bank's file.
      {
        std::lock_guard lk(w->bankMut);
        LoadTabConfig(w, w->NumBanco);
      }
      w->tabCol = -1;
      toInterfacePage(w);
      break;
    }
    case 2: w->tabCol = w->tabCol <= 0 ? 4 : w->tabCol - 1; break;
    case 3: w->tabCol = w->tabCol >= 4 || w->tabCol < 0 ? 0 : w->tabCol + 1; break;
    case 4: ModifytabAntenna(w, 0); break;
    case 5: ModifytabAntenna(w, 1); break;
    case 6: {
      std::lock_guard lk(w->bankMut);
      SaveTabConfig(w, w->NumBanco);
      break;
    }
    default: break;
  }
}

void keySaveTune(Works* w, int key) {
  switch (key) {
    case 1: w->menuPage = kPageMain; break;
    case 2: nextBank(w, w->saveBank); break;
    case 3: w->saveAnt = w->saveAnt >= 2 || w->saveAnt < 0 ? 0 : w->saveAnt + 1; break;
    case 6:
      if (SaveTuneToBank(w, w->saveBank, w->saveAnt) == 1) w->msgFlags.fetch_or(kMsgBypassNotSaved);
      w->menuPage = kPageTune;
      break;
    default: break;
  }
}

void keyUtilities(Works* w, int key) {
  switch (key) {
    case 1: toInterfacePage(w); break;
    case 2:
      w->copyFrom = w->NumBanco.load();
      w->menuPage = kPageCopyBank;
      break;
    case 3:
      w->resetBank = w->NumBanco.load();
      w->menuPage = kPageResetBank;
      break;
    default: break;
  }
}

void keyCopyBank(Works* w, int key) {
  switch (key) {
    case 1: w->menuPage = kPageInterface; break;
    case 2: nextBank(w, w->copyFrom); break;
    case 3: nextBank(w, w->copyTo); break;
    case 6:
      CopyBank(w, w->copyFrom, w->copyTo);
      w->menuPage = kPageInterface;
      break;
    default: break;
  }
}

void keyResetBank(Works* w, int key) {
  switch (key) {
    case 1: w->menuPage = kPageInterface; break;
    case 2: {
      // 0 .. MAXbank - 1, then MAXbank meaning every bank ("ALL").
      int b = w->resetBank + 1;
      if (b > w->MAXbank || b < 0) b = 0;
      w->resetBank = b;
      break;
    }
    case 6:
      DeleteBank(w, w->resetBank);
      w->bandIdx = -1;
      w->menuPage = kPageInterface;
      break;
    default: break;
  }
}

}  // namespace

int EscFromStatus(Works* w) {
  if (!(w->statusPage & kStatusInfo)) return 0;
  clearStatusBit(w, kStatusInfo);
  workImage(w);
  return 1;
}

void StepAttenuator(Works* w) {
  const bool bypassed = w->bypass != 0;
  int idx = (bypassed ? 4 : (w->Attenuator & 3)) + 1;
  if (w->stStatus1 & kStatus1Tx) {
    // While transmitting the amplifier is not put into stand-by.
    if (bypassed)
      AddErrore(w, kErrorCmdNotAvailable);
    else if (idx >= 4)
      idx = 0;
  } else if (idx >= 5) {
    idx = 0;
  }
  if (idx <= 3) {
    w->Attenuator = static_cast<uint8_t>(idx);
    IncPNTIn_CMDLinear(LIN_AT, w);
    if (bypassed) IncPNTIn_CMDLinear(LIN_AB0, w);
  } else if (idx == 4 && !bypassed) {
    IncPNTIn_CMDLinear(LIN_AB1, w);
  }
  saveBankEntry(w);
  SetAttenuatorLabel(w);
}

int DecodeTasto(Works* w, int key, int heldMask) {
  const int page = w->menuPage;
  if (page < 0 || page >= kMenuPagesUsed) {
    klog(LOG_ERR, "DecodeTasto: no page %d, back to the main page", page);
    w->menuPage = kPageMain;
    return 0;
  }
  if (key < 1 || key > kMenuKeys) {
    klog(LOG_ERR, "DecodeTasto: no key %d, ignored", key);
    return 0;
  }
  const bool held = (heldMask & (1 << (key - 1))) != 0;
  w->lastActivity = wallClockNow();
  if (w->screenSaverOn) {
    workImage(w);
    w->screenSaverOn = 0;
    ktrace("----------> DISATTIVO SAVE SCREEN\n");
    return 0;
  }
  int result = 0;
  if (key == 1 && GPIO_Errori(w)) {
    clearMsg(w, kMsgSecondFunction);
    return 0;
  }
  switch (page) {
    case kPageMain: keyMain(w, key, held); break;
    case kPageParamList: keyParamList(w, key); break;
    case kPageParamEdit: result = keyParamEdit(w, key); break;
    case kPageTune: keyTune(w, key, held); break;
    case kPageManualTune: result = keyManualTune(w, key, held); break;
    case kPageDeviceError: keyDeviceError(w, key); break;
    case kPageInterface: keyInterface(w, key); break;
    case kPageBandEdit: keyBandEdit(w, key); break;
    case kPageSaveTune: keySaveTune(w, key); break;
    case kPageUtilities: keyUtilities(w, key); break;
    case kPageCopyBank: keyCopyBank(w, key); break;
    case kPageResetBank: keyResetBank(w, key); break;
    default: break;
  }
  clearMsg(w, kMsgSecondFunction);
  return result;
}
