// libFuzzer target: a transfer's bytes as the device's scaled 32-bit samples and as raw floats (NaN and
// infinities included) through the spectrum line at both sizes; every level byte stays within 0..242.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "radio/usb_spectrum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<float> scaled(8192, 0.0f), raw(8192, 0.0f);
  const size_t n = std::min<size_t>(size / 4, 8192);
  for (size_t i = 0; i < n; ++i) {
    int32_t v;
    memcpy(&v, data + i * 4, 4);
    scaled[i] = static_cast<float>(v * 11.749 / 2147483648.0);
    memcpy(&raw[i], data + i * 4, 4);
  }
  uint8_t line[kSpectrumLineMax];
  for (const std::vector<float>* v : {&scaled, &raw}) {
    for (bool wide : {false, true}) {
      const int length = SpectrumLine(v->data(), 8192, wide, line);
      if (length != (wide ? 1706 : 854)) abort();
      for (int i = 0; i < length; ++i)
        if (line[i] > 242) abort();
    }
  }
  return 0;
}
