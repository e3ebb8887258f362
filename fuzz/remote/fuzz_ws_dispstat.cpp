// Fuzz target for the "ST" command interpreter.
#include <cstring>

#include "fuzz/remote/ws_fuzz.h"
#include "remote/remote.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = wsfuzz::record();
  memset(w->statusText, 0, sizeof w->statusText);
  memcpy(w->statusText, data, size < sizeof w->statusText ? size : sizeof w->statusText - 1);
  dispStat(w);
  if (w->fftDivide < 0 || w->fftDivide > 99) __builtin_trap();
  return 0;
}
