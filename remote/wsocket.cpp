// The WebSocket server thread (`Wsocket`). Until the server is built it waits for its stop condition.
#include "remote/remote.h"

#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"

void Wsocket(Works* w) {
  while (w->running && getFlag(w->setup->WebSocket) == '1') sleepMs(50);
}
