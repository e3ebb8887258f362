// Fuzz target: config.txt rows, then the threshold choice and coefficient rows they feed.
#include "fuzz/tuner/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  ParseConfigText(w, std::string(reinterpret_cast<const char*>(data), size));
  for (uint64_t f : {0ull, 1800000ull, 14200000ull, 54000000ull, 4000000000ull}) {
    w->freq = f;
    w->curConfigRow = -1;
    SearchCambioSoglie_TS(w);
    ConfigRow r;
    int i;
    GetConfigRowFor(w, f, &r, &i);
    if (w->tsPwin < 0 || w->tsPwin > 4095 || w->tsFwd < 0 || w->tsFwd > 4095 || w->tsRefl < 0 || w->tsRefl > 4095 ||
        w->tsCorrente < 0 || w->tsCorrente > 4095)
      __builtin_trap();
  }
  drainQueue(w);
  return 0;
}
