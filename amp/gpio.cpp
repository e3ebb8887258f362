// The GPIO thread: front-panel keys and the bit-banged peripheral. Until its register block is
// modelled it only keeps its thread shape, waiting for its stop condition.
#include "amp/amp.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"

void GPIO(Works* w) {
  while (w->running && getFlag(w->setup->EnableGPIO) == '1') sleepMs(2);
}
