// Fuzz target: a tune-memory file, written back, then applying the stored tune for a few frequencies.
#include "fuzz/tuner/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  ParseTabAtu(w, std::string(reinterpret_cast<const char*>(data), size), 0);
  std::string text = TabAtuText(w, 0);
  ParseTabAtu(w, text, 1);
  if (TabAtuText(w, 1) != text) __builtin_trap();  // what is written reads back the same
  w->tuneWord = kTuneNetCL;
  for (uint64_t f : {1799999ull, 14200000ull, 54000001ull}) {
    w->freq = f;
    LoadTuneFromMEM(w, 0);
    if (DecodeModoFromTuneval(w->tuneWord) == 0) __builtin_trap();
  }
  return 0;
}
