// The service keyboard thread. Until the keyboard is read it waits for its stop condition.
#include "input/keyb.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void keyb(Works* w) {
  while (w->running && getFlag(w->setup->EnableKeyb) == '1') sleepMs(50);
}
