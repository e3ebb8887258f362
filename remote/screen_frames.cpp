// The screen's side of the JPEG codec: the work buffer into a JPEG to send, a received JPEG into the work buffer.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/log.h"
#include "remote/jpeg.h"
#include "remote/remote.h"
#include "ui/fb.h"

int Compress(Works* works, uint8_t* out, std::size_t* outLength) {
  Screen* screen = works->fb;
  if (!screen || !screen->workBuf || !out || !outLength) return 0;
  jpeg::EncodeParams params;
  params.quality = works->jpegQuality;
  params.subsampling = jpeg::H2V2;
  params.sharedTable = false;
  params.optimizeHuffman = false;
  // The drawing lock keeps a half-drawn frame out of the picture.
  std::lock_guard lock(screen->drawMut);
  if (!jpeg::EncodeToMemory(out, *outLength, screen->width, screen->height, 4, screen->workBuf, params)) {
    klog(LOG_ERR, "screen frame not compressed: %s", jpeg::LastError());
    return 0;
  }
  return 1;
}

int Uncompress(Works* works, const uint8_t* data, std::size_t length) {
  Screen* screen = works->fb;
  if (!screen || !screen->workBuf) return -1;
  int width = 0, height = 0, comps = 0;
  uint8_t* image = jpeg::DecodeFromMemory(data, length, &width, &height, &comps, 4);
  if (!image) {
    klog(LOG_ERR, "screen frame dropped: %s", jpeg::LastError());
    return -1;
  }
  const std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
  if (width != screen->width || height != screen->height || bytes != screen->memSize) {
    klog(LOG_ERR, "screen frame dropped: %dx%d picture for a %dx%d screen", width, height, screen->width,
         screen->height);
    std::free(image);
    return -1;
  }
  {
    std::lock_guard lock(screen->drawMut);
    std::memcpy(screen->workBuf, image, bytes);
  }
  std::free(image);
  return 0;
}
