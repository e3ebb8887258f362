// Fuzz target: filter.txt, then the filter choice for a few frequencies.
#include "fuzz/tuner/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  ParseFilterText(w, std::string(reinterpret_cast<const char*>(data), size));
  for (uint64_t f : {0ull, 1850000ull, 14200000ull, 50200000ull}) {
    w->freq = f;
    SetFilterFromfreq(w);
    uint8_t m = w->filterMask;
    if (m & (m - 1)) __builtin_trap();  // one relay at most
  }
  drainQueue(w);
  return 0;
}
