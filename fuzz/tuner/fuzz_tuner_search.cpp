// Fuzz target: the auto-tune search choice file, read as start-up reads it.
#include <string>

#include "fuzz/tuner/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int v = ParseTuneSearch(std::string(reinterpret_cast<const char*>(data), size));
  if (v < -1 || v > 1) __builtin_trap();
  if (TuneSearchCaption(v) == nullptr) __builtin_trap();
  return 0;
}
