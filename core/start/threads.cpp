// Thread starters, the remote on/off switches and the loading countdown.
#include "core/start/threads.h"

#include <cstdio>

#include "amp/amp.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "input/keyb.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "remote/remote.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/text.h"

ThreadHandle thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer, thrScrivi, thrLeggi, thrCat, thrFFT, thrCatSer,
    thrTime;

bool startThread(ThreadHandle& h, void (*fn)(Works*), Works* works, const char* name) {
  std::lock_guard<std::mutex> lk(h.mut);
  if (h.alive.load()) {
    klog(LOG_INFO, "%s thread still running, not started again", name);
    return false;
  }
  if (h.thread.joinable()) h.thread.join();
  h.name = name;
  h.alive = true;
  klog(LOG_INFO, "thread %s started", name);
  h.thread = std::thread([&h, fn, works] {
    fn(works);
    h.alive = false;
  });
  return true;
}

bool joinThread(ThreadHandle& h) {
  std::lock_guard<std::mutex> lk(h.mut);
  if (!h.thread.joinable()) return false;
  h.thread.join();
  klog(LOG_INFO, "thread %s joined", h.name);
  return true;
}

void StartThreadLinear(Works* w) {
  if (getFlag(w->setup->EnableLinear) == '1') startThread(thrLin, Linear, w, "Linear");
}

void StartThreadSoket(Works* w) {
  char mode = getFlag(w->setup->WebSocket);
  if (mode == '1') {
    ktrace(">>>>>>>>>> SOCKET SERVER start\n");
    startThread(thrWsock, Wsocket, w, "Wsocket");
  } else if (mode == '2') {
    ktrace(">>>>>>>>>> SOCKET CLIENT start\n");
    startThread(thrWsock, Wclient, w, "Wclient");
  }
}

namespace {
// A link thread whose flag dropped may still be on its way out when the flag is raised again: give
// it a moment to end, so the new start is not refused while nothing would be left running. One
// that stays is still serving (it saw the flag back at '1').
void startLinkThread(ThreadHandle& h, void (*fn)(Works*), Works* w, const char* name) {
  if (startThread(h, fn, w, name)) return;
  for (int i = 0; i < 50 && h.alive.load(); ++i) sleepMs(10);
  if (!h.alive.load()) startThread(h, fn, w, name);
}
}  // namespace

void StartThreadBIX(Works* w) {
  if (getFlag(w->setup->EnableSerial) != '1') return;
  ktrace("BIXread start\n");
  startLinkThread(thrSer, Serial, w, "Serial");
}

void StartThreadAudioWrite(Works* w) {
  if (getFlag(w->setup->EnableWrite) != '1') return;
  ktrace("Th_scrivi start\n");
  startThread(thrScrivi, th_scrivi, w, "th_scrivi");
}

void StartThreadAudioRead(Works* w) {
  if (getFlag(w->setup->EnableRead) != '1') return;
  ktrace("Th_leggi start\n");
  startThread(thrLeggi, th_leggi, w, "th_leggi");
}

void StartThreadCAT(Works* w) {
  if (getFlag(w->setup->EnableCAT) != '1') return;
  ktrace("Cat.c start\n");
  startThread(thrCat, Cat, w, "Cat");
}

void StartBixReadFFT(Works* w) {
  if (getFlag(w->setup->EnableFFT) == '1') startThread(thrFFT, BIXRead, w, "BIXRead");
}

void StartThreadCATserial(Works* w) {
  if (getFlag(w->setup->EnableCatSerial) == '1') startLinkThread(thrCatSer, CatSerial, w, "CatSerial");
}

void RestartRadioLinks(Works* w) {
  StartThreadBIX(w);
  StartThreadCATserial(w);
}

void StartThreadCommRemote(Works* w) {
  w->remoteThreadsEnded = 0;
  Mirtsetup* s = w->setup;
  struct {
    char* flag;
    void (*starter)(Works*);
  } remote[] = {{&s->EnableWrite, StartThreadAudioWrite},
                {&s->EnableRead, StartThreadAudioRead},
                {&s->EnableCAT, StartThreadCAT},
                {&s->EnableFFT, StartBixReadFFT}};
  for (auto& r : remote) {
    if (getFlag(*r.flag) == '0') {
      setFlag(*r.flag, '1');
      r.starter(w);
    }
  }
  writeSetup(w);
  {
    std::lock_guard<std::mutex> lk(w->gpioMut);
    w->gpioCode = kGpioCodeRemoteOn;
  }
}

void ResumeRemote(Works* w) {
  // A power cut leaves the flags saved as '1' with nothing running: start those first, then turn
  // remote operation on as the operator would (which starts the rest).
  for (void (*starter)(Works*) : {StartThreadAudioWrite, StartThreadAudioRead, StartThreadCAT, StartBixReadFFT})
    starter(w);
  StartThreadCommRemote(w);
}

void ExitThreadRemote(Works* w) {
  Mirtsetup* s = w->setup;
  for (char* f : {&s->EnableWrite, &s->EnableRead, &s->EnableCAT, &s->EnableFFT}) setFlag(*f, '0');
  sleepMs(500);
  for (int code : {kErrorAudioRead, kErrorAudioWrite, kErrorRemoteUsb, kErrorRemoteCat}) DeleteErrore(w, code);
  writeSetup(w);
  {
    std::lock_guard<std::mutex> lk(w->gpioMut);
    w->gpioCode = kGpioCodeRemoteOff;
  }
  ktrace(">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n");
}

void LoadThread(Works* w) {
  int counter = waitBIX;
  Screen* s = w->fb;
  // The countdown ends at 0 by itself, so a late pass never writes "-1" over the next screen; the
  // entry point waits for it (a stop ends it early).
  while (startInitThread && counter >= 0 && w->running) {
    {
      std::lock_guard<std::mutex> lk(s->drawMut);
      fbSetBack(s);
    }
    startupSleepMs(1000);
    char text[32];
    snprintf(text, sizeof text, "Loading ...%2d", counter);
    {
      std::lock_guard<std::mutex> lk(s->drawMut);
      putString(9, 300, 400, text, 255, 255, 255, s);
      --counter;
      fbRealize(s);
    }
    ktrace("Time %s..\n", text);
  }
}
