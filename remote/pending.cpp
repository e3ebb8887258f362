// Remote threads that later work fills in; until then each waits for its own stop condition.
#include "remote/remote.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Wsocket(Works* w) {
  while (w->running && getFlag(w->setup->WebSocket) == '1') sleepMs(50);
}
void Wclient(Works* w) {
  while (w->running && getFlag(w->setup->WebSocket) == '2') sleepMs(50);
}
void th_scrivi(Works* w) {
  while (w->running && getFlag(w->setup->EnableWrite) == '1') sleepMs(50);
}
void th_leggi(Works* w) {
  while (w->running && getFlag(w->setup->EnableRead) == '1') sleepMs(50);
}
