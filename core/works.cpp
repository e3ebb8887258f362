// Start-up defaults of the shared record and the globals that live beside it.
#include "core/works.h"

std::atomic<double> TIME_LONG_PRESS{0.5};
std::atomic<int> number_ofStep_meter_FWD{60}, number_ofStep_meter_REFL{60}, number_ofStep_meter_SWR{60},
    number_ofStep_meter_PW{60};
std::atomic<int> fattoremedia{2};
std::atomic<double> PeakDecrement{1.0};
std::atomic<int> PeakDecrementTime{1};
std::atomic<int> TimerPeakSec{3000};
std::atomic<int> StepTune1{8};
std::atomic<int> CntIP{3}, CntDNS{3}, CntNetMask{3}, CntGateway{3};
std::atomic<int> waitBIX{5};
std::atomic<int> startInitThread{0};

void InitGlobalVar(Works* w) {
  w->running = 1;
  w->mainImageDue = 1;
  w->wsockFD = -1;
  w->timerUsec = 10000;
  w->meterPage = 1;
  w->freq = 14070000;
  w->lastFreq = 14070000;
  w->spanHz = 160000;
  // Until a spectrum line arrives the plot lies on its floor (level byte 0).
  for (float& level : w->fftLevel) level = -192.0f;
  w->FreqPeriodTime = 10;
  w->MaxTemperature = 60.0f;
  w->tsPwin = 4095;
  w->tsFwd = 4095;
  w->tsRefl = 1500;
  w->tsCorrente = 3700;
  w->bypass = 1;
  w->cpPending = 1;
  w->gpioCode = kGpioCodeStart;
  w->MaxTempAllowed = 60;
  w->PSpar1 = 1;
  w->PSpar2 = 1000;
  w->GMpar1 = 2;
  w->GMpar2 = 100;
  w->Isteresi1 = 1;
  w->Isteresi2 = 1;
  w->curConfigRow = -1;
  w->ModeWorkIdx = -1;
  w->NumBanco = 1;
  w->MAXbank = 20;
  w->bandIdx = -1;
  w->microCfgA = 0xFF;
  w->microCfgB = 0xFF;
  w->bypassCmdState = -1;  // no bypass command sent yet
  w->audioFrame = 240;
  w->audioFormat = 2;
  w->audioRate = 48000;
  w->tcpPort = 6666;

  TIME_LONG_PRESS = 0.5;
  number_ofStep_meter_FWD = 60;
  number_ofStep_meter_REFL = 60;
  number_ofStep_meter_SWR = 60;
  number_ofStep_meter_PW = 60;
  fattoremedia = 2;
  PeakDecrement = 1.0;
  PeakDecrementTime = 1;
  TimerPeakSec = 3000;

  // Fan, over-temperature and temperature log start from rest: the first status reply sends a fan step.
  w->fanWanted = 0;
  w->fanSent = 0;
  w->overTempQueued = 0;
  w->logTempActive = 0;
  w->logTempElapsed = 0.0;
}
