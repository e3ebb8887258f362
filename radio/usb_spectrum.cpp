// The USB spectrum reader thread (`BIXRead`). Until the reader is built it waits for its stop condition.
#include "radio/radio.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void BIXRead(Works* w) {
  while (w->running && getFlag(w->setup->EnableFFT) == '1') sleepMs(50);
}
