// Fuzz target for the JPEG decoder: any stream decodes to an image of the size it claims, or to null.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "remote/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int width = 0, height = 0, comps = 0;
  uint8_t* image = jpeg::DecodeFromMemory(data, size, &width, &height, &comps, 4);
  if (!image) return 0;
  if (width < 1 || height < 1 || static_cast<long>(width) * height > jpeg::kMaxPixels || (comps != 1 && comps != 3))
    __builtin_trap();
  // Every byte of the result is written; the sanitizers see a read of anything left over.
  unsigned sum = 0;
  for (size_t i = 0; i < static_cast<size_t>(width) * height * 4; i += 4) {
    sum += image[i] + image[i + 1] + image[i + 2];
    if (image[i + 3] != 255) __builtin_trap();
  }
  std::free(image);
  return static_cast<int>(sum & 0);
}
