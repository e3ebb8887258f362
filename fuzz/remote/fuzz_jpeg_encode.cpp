// Fuzz target for the JPEG encoder's arguments: any size, channel count, quality, subsampling, flags and buffer
// capacity either fails cleanly or gives a stream our decoder reads back at the same size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "remote/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  // Arguments include out-of-range values on purpose: the encoder must refuse them.
  const int width = data[0] - 4;
  const int height = data[1] - 4;
  const int channels = data[2] % 6;
  const int quality = data[3] - 10;
  jpeg::EncodeParams params;
  params.quality = quality;
  params.subsampling = static_cast<jpeg::Subsampling>(data[4] % 5);
  params.sharedTable = data[5] & 1;
  params.optimizeHuffman = data[5] & 2;
  const std::size_t capacity = (static_cast<std::size_t>(data[6]) << 8 | data[7]) * 4;
  std::vector<uint8_t> pixels;
  if (width > 0 && height > 0 && channels > 0) {
    pixels.resize(static_cast<std::size_t>(width) * height * channels);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = size > 8 ? data[8 + i % (size - 8)] : 0;
  }
  std::vector<uint8_t> out(capacity);
  std::size_t length = capacity;
  if (!jpeg::EncodeToMemory(out.data(), length, width, height, channels, pixels.data(), params)) {
    if (length != capacity) __builtin_trap();
    return 0;
  }
  if (length > capacity || width <= 0 || height <= 0 || quality < 1 || quality > 100) __builtin_trap();
  int w = 0, h = 0, comps = 0;
  uint8_t* image = jpeg::DecodeFromMemory(out.data(), length, &w, &h, &comps, 4);
  if (!image || w != width || h != height) __builtin_trap();
  std::free(image);
  return 0;
}
