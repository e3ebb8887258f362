// The supervisor pass: every 10 ms it follows the frequency, watches the auto-tune hand-shake and composes the screen.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

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

// the tune carrier was requested

// Screen-saver delays in minutes, by SaveScreenIdx.
constexpr int kSaveScreen[] = {5, 10, 20, 30, 60};

void loadBackground(Works* w, const char* name) {
  snprintf(w->pngName, sizeof w->pngName, "%s", name);
  getPng(w, 1);
  fbSetBack(w->fb);
}

const char* startScreen(Works* w) { return w->microCfgB == kMicroCfg120W ? "start120" : "start"; }

// "Error! <port message>" at (130, 300) in the 30-pixel font. A device path makes it wider than the
// screen, and text past the right edge would come back on the left of the row below: such a message
// breaks at its last space that fits and goes on one line lower.
void drawPortErrorText(const char* text, Screen* s) {
  constexpr int kX = 130, kY = 300, kRight = 790, kLineStep = 40;
  std::string rest = text;
  for (int line = 0; line < 2 && !rest.empty(); ++line) {
    std::string part = rest;
    if (line == 0 && kX + getStringSpace(9, part.c_str()) > kRight) {
      for (size_t sp = part.rfind(' '); sp != std::string::npos && sp > 0; sp = part.rfind(' ', sp - 1)) {
        part = rest.substr(0, sp);
        if (kX + getStringSpace(9, part.c_str()) <= kRight) break;
      }
    }
    rest = rest.size() > part.size() ? rest.substr(part.size() + 1) : std::string();
    // A single word too long for the line is moved left rather than wrapped round.
    const int x = std::max(0, std::min(kX, kRight - getStringSpace(9, part.c_str())));
    putString(9, x, kY + line * kLineStep, part.c_str(), 255, 255, 255, s);
  }
}

double cpuMs() { return static_cast<double>(clock()) * 1000.0 / CLOCKS_PER_SEC; }

}  // namespace

bool TxTuneWatch::settle(Works* w) {
  if (mark + 10 < count) {
    w->AutoTuneMode &= static_cast<uint8_t>(~(kAtmStartedByTx | kAtmSettling | kAtmStartedByKey));
    return true;
  }
  if (mark == 0) mark = count;
  ++count;
  return false;
}

void TxTuneWatch::pass(Works* w, const SerParam& p) {
  w->txActive = p.txOn == 1 ? 1 : 0;
  if (p.anRequest != w->anValue && w->tuneState != 1 && w->txActive == 0 && (w->txReqFlags & 0x30) == 0) {
    w->anValue = p.anRequest;
    IncPNTIn_CMDLinear(LIN_AN, w);
  }
  const uint8_t m = w->AutoTuneMode;
  if (!(m & kAtmEnabled)) return;
  const bool tx = p.txOn == 1;
  if (tx && !(m & kAtmStartedByTx) && !(m & kAtmStartedByKey)) {
    if (w->txReqFlags == 0 && w->rxHoldoff == 0) {
      StartAutotune(w);
      w->AutoTuneMode |= kAtmStartedByTx;
      count = mark = 0;
    } else if (w->rxHoldoff > 0) {
      w->rxHoldoff -= 1;
    }
  } else if (m & kAtmSettling) {
    if (settle(w) && !tx) count = mark = 0;
  } else if (m & kAtmStartedByKey) {
    if (!tx && !(m & kAtmCarrierAsked)) {
      if (PendingCMDLinear(w) == 0) {
        w->AutoTuneMode |= kAtmAskCarrier;
        count = mark = 0;
      }
    } else if (!tx) {
      if (count < 31) ++count;
      if (count >= 31) {
        EscAutoTune(w, 0);
        AddErrore(w, kErrorTuneBixAbort);
        w->AutoTuneMode &= static_cast<uint8_t>(~(kAtmStartedByKey | kAtmCarrierAsked));
      }
    } else if (!(m & kAtmCarrierAsked)) {
      count = mark = 0;
    }
  }
}

void timerPass(Works* w, SupervisorState& st) {
  Screen* s = w->fb;
  const int portError = w->portError;
  // The work that is not drawing runs first, outside the screen lock: a slow helper process or a
  // tune step must never hold up another thread's drawing.
  if (portError == 0) {
    FrequencyChangeChain(w);
    if (w->ModeWorkIdx == 1) {
      SerParam p;
      getParameters(w, &p);
      st.watch.pass(w, p);
    }
    if (!w->screenSaverOn && std::chrono::steady_clock::now() >= st.nextCpuTemp) {
      // The board temperature comes from a helper process; once a second is plenty for a heat sink
      // and spares the small board a fork every 10 ms. It is read off the pass: a hung helper must
      // never stop the screen or the frequency following.
      if (!st.cpuTemp) st.cpuTemp = std::make_unique<CpuTempReader>(w);
      st.cpuTemp->request();
      st.nextCpuTemp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
  }
  std::lock_guard<std::mutex> lk(s->drawMut);
  fbSetBack(s);
  if (portError < 1) st.portErrorShown = false;
  if (portError >= 1) {
    // The error's background is decoded once when the error appears; every later pass starts from
    // it in backBuf, like any other background, instead of decoding the file (or logging its
    // absence) a hundred times a second.
    if (!st.portErrorShown) {
      loadBackground(w, startScreen(w));
      st.portErrorShown = true;
    }
    char text[128];
    snprintf(text, sizeof text, "Error! %s", w->portErrorText);
    drawPortErrorText(text, s);
    w->menuPage = 5;
    LoadButtons(w);
  } else if (portError == -1) {
    w->menuPage = 0;
    w->mainImageDue = 1;  // the work image comes back on the next pass
    w->portError = 0;
  } else {
    // Screen saver: minutes since the last key press, as a calendar breakdown of the interval.
    time_t idle = wallClockNow() - w->lastActivity;
    struct tm idleTm;
    gmtime_r(&idle, &idleTm);
    int idx = w->SaveScreenIdx;
    if (idx >= 0 && idx < 5 && idleTm.tm_min >= kSaveScreen[idx] && !w->screenSaverOn) {
      w->screenSaverOn = 1;
      loadBackground(w, "start");
    }
    if (!w->screenSaverOn) {
      ReadDataOra(w);
      // The work image goes in before anything is drawn on it, so the first frame keeps its date.
      if (w->mainImageDue == 1) {
        loadBackground(w, w->microCfgB == kMicroCfg120W ? "img1b" : "img1");
        w->mainImageDue = 0;
      }
      if (w->ViewTimeStr && w->statusPage == 0) {
        char date[80];
        getDataOra(w, date, sizeof date);
        putString(6, 780 - getStringSpace(6, date), 17, date, 255, 255, 255, s);
      }
      LoadButtons(w);
    }
  }
  fbRealize(s);
}

void timerAge(Works* w, SupervisorState& st, double dtMs) {
  // A pass takes well under a millisecond of processor time on a fast machine: carry the fraction
  // so the hold-offs still run down.
  st.carryMs += dtMs;
  const int wholeMs = static_cast<int>(st.carryMs);
  st.carryMs -= wholeMs;
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

void timer(Works* w) {
  klog(LOG_INFO, "Timer thread started");
  SupervisorState st;
  while (w->running && getFlag(w->setup->EnableTime) == '1') {
    const double cpu0 = cpuMs();
    timerPass(w, st);
    sleepUs(w->timerUsec);
    // Timers age by the processor time of this pass, as the unit has always counted them.
    timerAge(w, st, cpuMs() - cpu0);
  }
  klog(LOG_INFO, "Timer operations end\n");
}
