// Amplifier-side entry points that later work fills in; until then they only keep their thread shape.
#include "amp/amp.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"

void GPIO(Works* w) {
  while (w->running && getFlag(w->setup->EnableGPIO) == '1') sleepMs(2);
}
