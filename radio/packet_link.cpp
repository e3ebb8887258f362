// The transceiver packet link (`Serial`) and its parameter record. Until the link is built the
// thread waits for its stop condition.
#include "radio/radio.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Serial(Works* w) {
  while (w->running && getFlag(w->setup->EnableSerial) == '1') sleepMs(50);
}

void getParameters(Works* w, SerParam* out) {
  std::lock_guard<std::mutex> lk(*w->serMut);
  *out = w->serParam;
}
