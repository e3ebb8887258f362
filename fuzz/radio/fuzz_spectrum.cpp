// libFuzzer target: a parameter block, then a spectrum line of any length rotated by what it set,
// and the same bytes stored into the plot's levels.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/log.h"
#include "radio/radio.h"
#include "radio/radio_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Works* w = [] {
    Works* p = FuzzRecord();
    setLogCapture([](int, const std::string&) {});
    return p;
  }();
  if (size < 1) return 0;
  // First byte: how much of the input is the parameter block.
  const size_t blockLen = std::min<size_t>(data[0], size - 1);
  storeParameters(w, static_cast<int>(blockLen), data + 1);
  SerParam p;
  getParameters(w, &p);
  const uint8_t* line = data + 1 + blockLen;
  const int lineLen = static_cast<int>(size - 1 - blockLen);
  unsigned char out[1024];
  const int n = RotateSpectrum(p, line, lineLen, out);
  if (n < 0 || n > 1024 || (lineLen < 1024 && n != 0)) __builtin_trap();
  storeFFT(w, lineLen, line);
  for (float v : w->fftLevel)
    if (v < -192.0f || v > 63.0f) __builtin_trap();
  return 0;
}
