// The CAT relay thread (`Cat`). Until the relay is built it waits for its stop condition.
#include "radio/radio.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Cat(Works* w) {
  while (w->running && getFlag(w->setup->EnableCAT) == '1') sleepMs(50);
}
