// The supervisor pass: every 10 ms it follows the frequency, watches the auto-tune hand-shake and composes the screen.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "amp/link.h"
#include "amp/replies.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "remote/remote.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/meters.h"
#include "ui/png.h"
#include "ui/text.h"

namespace {

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
  } else if (portError == -1) {
    // The operator restarted the failed thread: back to the work image of the display mode.
    w->menuPage = 0;
    SetWorkImg(w);
    w->mainImageDue = 0;
    w->portError = 0;
  }
  if (portError == 0) {
    // Screen saver: whole minutes since the last key press against the chosen delay.
    const long long idleMinutes = static_cast<long long>(wallClockNow() - w->lastActivity) / 60;
    const int idx = w->SaveScreenIdx;
    if (idx >= 0 && idx < 5 && idleMinutes >= kSaveScreen[idx] && !w->screenSaverOn) {
      w->screenSaverOn = 1;
      std::lock_guard<std::mutex> lk(s->drawMut);
      loadBackground(w, "start");
    }
    // The work image goes in before anything is drawn on it, so the first frame keeps its date.
    if (!w->screenSaverOn && w->mainImageDue == 1) {
      SetWorkImg(w);
      w->mainImageDue = 0;
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
  } else if (portError == 0 && !w->screenSaverOn) {
    ReadDataOra(w);
    const bool mainView = w->statusPage == 0;
    if (w->ViewTimeStr && mainView) {
      char date[80];
      getDataOra(w, date, sizeof date);
      putString(6, 780 - getStringSpace(6, date), 17, date, 255, 255, 255, s);
    }
    LoadButtons(w);
    const int page = w->meterPage;
    if (mainView && page <= 3) DrawMeters(w);
    if (mainView && (page == 4 || page == 5)) DrawGrid(w);
  }
  if (w->wsockConnected) {
    char status[kStatusBufferLen + 1];
    CreaBufferDiStato(w, status);
    sendWebSockStatusFrame(w, status, 44);
  }
  fbRealize(s);
}

void timerAge(Works* w, SupervisorState& st, double dtMs) {
  // The integer hold-offs keep the part of a millisecond not yet aged, so that a pass that took
  // 10.4 ms ages them by 10.4 ms on average rather than 10.
  st.carryMs += dtMs;
  const int wholeMs = static_cast<int>(st.carryMs);
  st.carryMs -= wholeMs;
  int et = w->errorTimer;
  if (et > 0) w->errorTimer = std::max(0, et - wholeMs);
  PeakDecay(w, dtMs);
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
  InitGrid(w);
  w->angleFwdPeak = 0;
  w->angleRightPeak = 0;
  auto before = std::chrono::steady_clock::now();
  while (w->running && getFlag(w->setup->EnableTime) == '1') {
    timerPass(w, st);
    sleepUs(w->timerUsec);
    // The operator sets these timers in milliseconds: they age by the wall time of the whole pass,
    // sleep included, not by the processor time the program happened to use.
    const auto now = std::chrono::steady_clock::now();
    timerAge(w, st, std::chrono::duration<double, std::milli>(now - before).count());
    before = now;
  }
  klog(LOG_INFO, "Timer operations end\n");
}
