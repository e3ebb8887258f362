// The FT-817 CAT poll thread (`CatSerial`). Until the poll is built it waits for its stop condition.
#include "radio/radio.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void CatSerial(Works* w) {
  while (w->running && getFlag(w->setup->EnableCatSerial) == '1') sleepMs(50);
}
