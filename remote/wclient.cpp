// The WebSocket client thread (`Wclient`). Until the client is built it waits for its stop condition.
#include "remote/remote.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Wclient(Works* w) {
  while (w->running && getFlag(w->setup->WebSocket) == '2') sleepMs(50);
}
