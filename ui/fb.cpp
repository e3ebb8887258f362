// Framebuffer: device or virtual file, the two off-screen buffers, lines and rectangles.
#include "ui/fb.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "ui/line_walk.h"

namespace {

// A regular file stands in for the device: its geometry is read from the description beside it.
bool virtualScreenInfo(const std::string& devPath, fb_var_screeninfo& vi) {
  memset(&vi, 0, sizeof vi);
  unsigned w = 800, h = 480, bpp = 32;
  if (FILE* g = fopen((devPath + ".geometry").c_str(), "r")) {
    unsigned a, b, c;
    if (fscanf(g, "%u %u %u", &a, &b, &c) == 3 && a > 0 && b > 0 && a <= 8192 && b <= 8192) {
      w = a;
      h = b;
      bpp = c;
    }
    fclose(g);
  }
  vi.xres = vi.xres_virtual = w;
  vi.yres = vi.yres_virtual = h;
  vi.bits_per_pixel = bpp;
  return true;
}

inline void putPixel(uint8_t* p, unsigned pixelSize, int r, int g, int b) {
  if (pixelSize == 4) {
    p[0] = static_cast<uint8_t>(b);
    p[1] = static_cast<uint8_t>(g);
    p[2] = static_cast<uint8_t>(r);
    p[3] = 0;
  } else {
    p[0] = static_cast<uint8_t>((((g >> 2) & 7) << 5) | ((b & 0xFF) >> 3));
    p[1] = static_cast<uint8_t>((r & 0xF8) | ((g & 0xFF) >> 5));
  }
}

}  // namespace

unsigned int pixelSizeForBits(unsigned int bits) {
  switch (bits) {
    case 4:
    case 8: return 1;
    case 5:
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

Screen* fbInit() {
  runShell("/bin/echo -e -n '\x1b[?25l' >" + rootPath("/dev/tty0") + " 2>/dev/null");
  Screen* s = new (std::nothrow) Screen;
  if (!s) {
    klog(LOG_ERR, "Unable to allocate framebuffer structure");
    return nullptr;
  }
  std::string dev = rootPath("/dev/fb0");
  int fd = open(dev.c_str(), O_RDWR);
  if (fd < 0) {
    klog(LOG_ERR, "Unable to read framebuffer device: /dev/fb0\n");
    delete s;
    return nullptr;
  }
  struct stat st {};
  fstat(fd, &st);
  const bool isVirtual = S_ISREG(st.st_mode);
  fb_var_screeninfo vi{};
  if (isVirtual ? !virtualScreenInfo(dev, vi) : ioctl(fd, FBIOGET_VSCREENINFO, &vi) != 0) {
    klog(LOG_ERR, "Unable to read screen info.\n");
    klog(LOG_ERR, "Do you have read+write privilages to /dev/fb0?\n");
    close(fd);
    delete s;
    return nullptr;
  }
  vi.xoffset = 0;
  vi.yoffset = 0;
  if (!isVirtual && ioctl(fd, FBIOPUT_VSCREENINFO, &vi) != 0) {
    klog(LOG_ERR, "Unable to change screen data\n");
    klog(LOG_ERR, "Do you have write privilages to /dev/fb0?\n");
    klog(LOG_ERR, "Does your video card support double buffering?\n");
    close(fd);
    delete s;
    return nullptr;
  }
  unsigned ps = pixelSizeForBits(vi.bits_per_pixel);
  if (ps == 0) {
    klog(LOG_ERR, "Unknown pixel format");
    close(fd);
    delete s;
    return nullptr;
  }
  klog(LOG_INFO, "Pixel size =%d", ps);
  s->width = static_cast<int>(vi.xres & 0xFFFF);
  s->height = static_cast<int>(vi.yres & 0xFFFF);
  s->pixelSize = ps;
  s->lineSize = static_cast<unsigned>(s->width) * ps;
  // Rows are laid out at whole bytes per pixel, so at 4, 5 and 15 bits the image is larger than
  // bits x pixels / 8: size every buffer from the layout the drawing actually uses.
  const unsigned long long bytes = static_cast<unsigned long long>(s->lineSize) * static_cast<unsigned>(s->height);
  if (bytes == 0 || bytes > (1ull << 30)) {
    klog(LOG_ERR, "Unable to map shared memory\n");
    close(fd);
    delete s;
    return nullptr;
  }
  s->memSize = static_cast<unsigned>(bytes);
  // A virtual screen file shorter than the screen would fault on access past its end.
  if (isVirtual && static_cast<unsigned long>(st.st_size) < s->memSize && ftruncate(fd, s->memSize) != 0) {
    klog(LOG_ERR, "Unable to map shared memory\n");
    close(fd);
    delete s;
    return nullptr;
  }
  void* mem = mmap(nullptr, s->memSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mem == MAP_FAILED) {
    klog(LOG_ERR, "Unable to map shared memory\n");
    klog(LOG_ERR, "Make sure, that you have compiled shared memory support into your kernel.\n");
    close(fd);
    delete s;
    return nullptr;
  }
  s->screenMem = static_cast<uint8_t*>(mem);
  s->workBuf = static_cast<uint8_t*>(calloc(s->memSize, 1));
  s->backBuf = static_cast<uint8_t*>(calloc(s->memSize, 1));
  if (!s->workBuf || !s->backBuf) {
    klog(LOG_ERR, "Unable to allocate framebuffer structure");
    munmap(mem, s->memSize);
    free(s->workBuf);
    free(s->backBuf);
    close(fd);
    delete s;
    return nullptr;
  }
  s->fd = fd;
  klog(LOG_INFO, "Screen Size x: %d, y: %d, Pixel Size %d Line size: %d, Mem size: %d\n", s->width, s->height,
       s->pixelSize, s->lineSize, s->memSize);
  return s;
}

void fbClose(Screen* s) {
  if (!s) return;
  if (s->screenMem) munmap(s->screenMem, s->memSize);
  free(s->workBuf);
  free(s->backBuf);
  if (s->fd >= 0) close(s->fd);
  delete s;
}

void fbRealize(Screen* s) { memcpy(s->screenMem, s->workBuf, s->memSize); }

void fbSetBack(Screen* s) { memcpy(s->workBuf, s->backBuf, s->memSize); }

void DrawHorizontalLine(int x0, int y, int x1, int r, int g, int b, Screen* s) {
  if (s->pixelSize != 2 && s->pixelSize != 4) return;
  // Callers keep to the screen; a stray row or column is dropped rather than written past the buffer.
  if (y < 0 || y >= s->height) return;
  if (x0 < 0) x0 = 0;
  if (x1 > s->width) x1 = s->width;
  uint8_t* row = s->workBuf + static_cast<size_t>(y) * s->lineSize;
  for (int x = x0; x < x1; ++x) putPixel(row + static_cast<size_t>(x) * s->pixelSize, s->pixelSize, r, g, b);
}

void DrawLine(int x0, int y0, int x1, int y1, int r, int g, int b, Screen* s) {
  if (s->pixelSize != 2 && s->pixelSize != 4) return;
  const long long limit = static_cast<long long>(s->memSize) - s->pixelSize;
  walkLine(x0, y0, x1, y1, [&](int x, int y) {
    long long off = static_cast<long long>(y) * s->lineSize + static_cast<long long>(x) * s->pixelSize;
    if (off >= 0 && off < limit) putPixel(s->workBuf + off, s->pixelSize, r, g, b);
  });
}

void DrawRect(Works* works, int x0, int y0, int x1, int y1, int r, int g, int b) {
  Screen* s = works->fb;
  DrawLine(x0, y0, x0, y1, r, g, b, s);
  DrawLine(x1, y0, x1, y1, r, g, b, s);
  DrawHorizontalLine(x0, y0, x1, r, g, b, s);
  DrawHorizontalLine(x0, y1, x1, r, g, b, s);
}
