// The supervisor pass: every 10 ms it follows the frequency, watches the auto-tune hand-shake and composes the screen.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "amp/link.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/png.h"
#include "ui/text.h"

namespace {

// Bits of the AutoTuneMode byte that the transmission hand-shake uses.
constexpr uint8_t kAtmEnabled = 0x01, kAtmStartedByTx = 0x02, kAtmDone = 0x08, kAtmWaitRx = 0x10,
                  kAtmRxSeen = 0x20, kAtmRxConfirmed = 0x40;

// Screen-saver delays in minutes, by SaveScreenIdx.
constexpr int kSaveScreen[] = {5, 10, 20, 30, 60};

void loadBackground(Works* w, const char* name) {
  snprintf(w->pngName, sizeof w->pngName, "%s", name);
  getPng(w, 1);
  fbSetBack(w->fb);
}

const char* startScreen(Works* w) { return w->microCfgB == 0x31 ? "start120" : "start"; }

// The transmission hand-shake of the auto-tune: starts a tune when the transceiver transmits and
// watches the tune's end, with two pass counters private to the supervisor.
struct TxTuneWatch {
  int count = 0;
  int mark = 0;

  void clearAfterTune(Works* w) {
    if (mark + 10 < count) {
      w->AutoTuneMode &= static_cast<uint8_t>(~(kAtmStartedByTx | kAtmDone | kAtmWaitRx));
      return;
    }
    if (mark == 0) mark = count;
    ++count;
  }

  void pass(Works* w, const SerParam& p) {
    w->txActive = p.txOn == 1 ? 1 : 0;
    if (p.anRequest != w->anValue && w->tuneState != 1 && w->txActive == 0 && (w->txReqFlags & 0x30) == 0) {
      w->anValue = p.anRequest;
      IncPNTIn_CMDLinear(LIN_AN, w);
    }
    uint8_t m = w->AutoTuneMode;
    if (!(m & kAtmEnabled)) return;
    const bool tx = p.txOn == 1;
    if (tx && !(m & kAtmStartedByTx) && !(m & kAtmWaitRx)) {
      if (w->txReqFlags == 0 && w->rxHoldoff == 0) {
        StartAutotune(w);
        w->AutoTuneMode |= kAtmStartedByTx;
        count = mark = 0;
      } else if (w->rxHoldoff > 0) {
        w->rxHoldoff -= 1;
      }
    } else if (tx && (m & kAtmDone)) {
      clearAfterTune(w);
    } else if (!tx && (m & kAtmDone)) {
      bool wasCleared = mark + 10 < count;
      clearAfterTune(w);
      if (wasCleared) count = mark = 0;
    } else if (m & kAtmWaitRx) {
      if (!tx && !(m & kAtmRxConfirmed)) {
        if (PendingCMDLinear(w) == 0) {
          w->AutoTuneMode |= kAtmRxSeen;
          count = mark = 0;
        }
      } else if (!tx && (m & kAtmRxConfirmed)) {
        if (count < 31) ++count;
        if (count >= 31) {
          EscAutoTune(w, 0);
          AddErrore(w, 14);
          w->AutoTuneMode &= static_cast<uint8_t>(~(kAtmWaitRx | kAtmRxConfirmed));
        }
      } else if (tx && !(m & kAtmRxConfirmed)) {
        count = mark = 0;
      }
    }
  }
};

double cpuMs() { return static_cast<double>(clock()) * 1000.0 / CLOCKS_PER_SEC; }

}  // namespace

void timer(Works* w) {
  klog(LOG_INFO, "Timer thread started");
  TxTuneWatch watch;
  Screen* s = w->fb;
  // The board temperature comes from a helper process; once a second is plenty for a heat sink and
  // spares the small board a fork every 10 ms.
  auto nextCpuTemp = std::chrono::steady_clock::now();
  // A pass takes well under a millisecond of processor time on a fast machine: carry the fraction so
  // the hold-offs still run down.
  double carryMs = 0;
  while (w->running && getFlag(w->setup->EnableTime) == '1') {
    const double cpu0 = cpuMs();
    {
      std::lock_guard<std::mutex> lk(s->drawMut);
      fbSetBack(s);
      const int portError = w->portError;
      if (portError >= 1) {
        loadBackground(w, startScreen(w));
        char text[128];
        snprintf(text, sizeof text, "Error! %s", w->portErrorText);
        putString(9, 130, 300, text, 255, 255, 255, s);
        w->menuPage = 5;
        LoadButtons(w);
      } else if (portError == -1) {
        w->menuPage = 0;
        w->mainImageDue = 1;  // the work image comes back on the next pass
        w->portError = 0;
      } else {
        // Screen saver: minutes since the last key press, as a calendar breakdown of the interval.
        time_t idle = time(nullptr) - w->lastActivity;
        struct tm idleTm;
        gmtime_r(&idle, &idleTm);
        int idx = w->SaveScreenIdx;
        if (idx >= 0 && idx < 5 && idleTm.tm_min >= kSaveScreen[idx] && !w->screenSaverOn) {
          w->screenSaverOn = 1;
          loadBackground(w, "start");
        }
        FrequencyChangeChain(w);
        if (w->ModeWorkIdx == 1) {
          SerParam p;
          getParameters(w, &p);
          watch.pass(w, p);
        }
        if (!w->screenSaverOn) {
          if (std::chrono::steady_clock::now() >= nextCpuTemp) {
            ReadCPUTemp(w);
            nextCpuTemp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
          }
          ReadDataOra(w);
          if (w->ViewTimeStr && w->statusPage == 0) {
            char date[80];
            getDataOra(w, date, sizeof date);
            putString(6, 780 - getStringSpace(6, date), 17, date, 255, 255, 255, s);
          }
          if (w->mainImageDue == 1) {
            loadBackground(w, w->microCfgB == 0x31 ? "img1b" : "img1");
            w->mainImageDue = 0;
          }
          LoadButtons(w);
        }
      }
      fbRealize(s);
    }
    sleepUs(w->timerUsec);

    // Timers age by the processor time of this pass, as the unit has always counted them.
    const double dtMs = cpuMs() - cpu0;
    carryMs += dtMs;
    const int wholeMs = static_cast<int>(carryMs);
    carryMs -= wholeMs;
    int et = w->errorTimer;
    if (et > 0) w->errorTimer = std::max(0, et - wholeMs);
    if (w->EnableLOGTemp && w->logTempActive) {
      double elapsed = w->logTempElapsed + dtMs;
      if (elapsed >= 5000) {
        LogTempFunction(w, 0);
        elapsed = 0;
      }
      w->logTempElapsed = elapsed;
    }
  }
  klog(LOG_INFO, "Timer operations end\n");
}
