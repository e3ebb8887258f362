// Transceiver threads that later work fills in; until then each waits for its own stop condition.
#include "radio/radio.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Serial(Works* w) {
  while (w->running && getFlag(w->setup->EnableSerial) == '1') sleepMs(50);
}
void Cat(Works* w) {
  while (w->running && getFlag(w->setup->EnableCAT) == '1') sleepMs(50);
}
void CatSerial(Works* w) {
  while (w->running && getFlag(w->setup->EnableCatSerial) == '1') sleepMs(50);
}
void BIXRead(Works* w) {
  while (w->running && getFlag(w->setup->EnableFFT) == '1') sleepMs(50);
}

void getParameters(Works* w, SerParam* out) {
  std::lock_guard<std::mutex> lk(*w->serMut);
  *out = w->serParam;
}
