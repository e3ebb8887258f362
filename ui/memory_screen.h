// A screen held in ordinary memory: a Screen's three buffers without a device, for tools,
// benchmarks, fuzz targets and tests.
#pragma once
#include <cstdint>
#include <vector>

#include "ui/fb.h"

struct MemoryScreen {
  Screen s;
  // The buffers behind s; refill them in place (same size), never resize them.
  std::vector<uint8_t> work, back, mem;

  MemoryScreen(int width, int height, unsigned pixelSize = 4, uint8_t fill = 0) {
    s.width = width;
    s.height = height;
    s.pixelSize = pixelSize;
    s.lineSize = static_cast<unsigned>(width) * pixelSize;
    s.memSize = s.lineSize * static_cast<unsigned>(height);
    work.assign(s.memSize, fill);
    back.assign(s.memSize, fill);
    mem.assign(s.memSize, fill);
    s.workBuf = work.data();
    s.backBuf = back.data();
    s.screenMem = mem.data();
  }
};
