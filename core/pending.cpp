// Core threads that later work fills in; until then each keeps its thread shape.
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "platform/timing.h"

void timer(Works* w) {
  while (w->running && getFlag(w->setup->EnableTime) == '1') sleepUs(w->timerUsec);
}
