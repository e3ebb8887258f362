// The audio threads: playback (`th_scrivi`) and capture (`th_leggi`). Until audio streaming is built
// each waits for its stop condition.
#include "remote/remote.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void th_scrivi(Works* w) {
  while (w->running && getFlag(w->setup->EnableWrite) == '1') sleepMs(50);
}
void th_leggi(Works* w) {
  while (w->running && getFlag(w->setup->EnableRead) == '1') sleepMs(50);
}
