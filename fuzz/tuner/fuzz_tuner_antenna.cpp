// Fuzz target: a bank's band table file, written back and read again, then the band choice.
#include "fuzz/tuner/fuzz_common.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  int tag = ParseAntennaText(w, std::string(reinterpret_cast<const char*>(data), size));
  if (tag < 0 || tag > 2 || w->numBands < 0 || w->numBands > kBandRows) __builtin_trap();
  for (int i = 0; i < w->numBands; ++i)
    if (strnlen(w->tabAntenna[i].name, sizeof w->tabAntenna[i].name) > 7 || w->tabAntenna[i].ant > 3 ||
        w->tabAntenna[i].att > 3)
      __builtin_trap();
  w->ModeWorkIdx = tag;
  std::string text = AntennaFileText(w);
  if (ParseAntennaText(w, text) != tag) __builtin_trap();
  for (uint64_t f : {1850000ull, 14200000ull, 50200000ull}) {
    w->freq = f;
    GestioneAntennaAutomatica(w);
    drainQueue(w);
  }
  return 0;
}
