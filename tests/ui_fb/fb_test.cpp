// Framebuffer: opening the virtual device, pixel layouts, lines, rectangles and clipping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "core/works.h"
#include "platform/root.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/memory_screen.h"

using testlib::LogCapture;
using testlib::TempRoot;

namespace {

// A virtual screen of the given geometry in a fresh root.
struct VirtualScreen {
  explicit VirtualScreen(const char* geometry) {
    root.activate();
    root.write("/dev/fb0", "");
    root.write("/dev/fb0.geometry", geometry);
    screen = fbInit();
  }
  ~VirtualScreen() { fbClose(screen); }
  TempRoot root;
  Screen* screen = nullptr;
};

size_t countNonZero(const Screen* s) {
  return static_cast<size_t>(std::count_if(s->workBuf, s->workBuf + s->memSize, [](uint8_t b) { return b != 0; }));
}

TEST(Framebuffer, VirtualDeviceOpensWithItsGeometryAndShowsFrames) {
  LogCapture log;
  VirtualScreen v("800 480 32\n");
  ASSERT_NE(v.screen, nullptr);
  Screen* s = v.screen;
  EXPECT_EQ(s->width, 800);
  EXPECT_EQ(s->height, 480);
  EXPECT_EQ(s->pixelSize, 4u);
  EXPECT_EQ(s->lineSize, 3200u);
  EXPECT_EQ(s->memSize, 1536000u);
  EXPECT_TRUE(log.contains("Pixel size =4"));
  EXPECT_TRUE(log.contains("Screen Size x: 800, y: 480, Pixel Size 4 Line size: 3200, Mem size: 1536000"));
  // Background to work buffer to the device file, which another process sees.
  memset(s->backBuf, 0x5A, s->memSize);
  fbSetBack(s);
  fbRealize(s);
  std::ifstream f(v.root.file("/dev/fb0"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
  ASSERT_EQ(bytes.size(), 1536000u);
  EXPECT_EQ(bytes[0], 0x5A);
  EXPECT_EQ(bytes[1535999], 0x5A);
}

TEST(Framebuffer, RefusedDevices) {
  {
    LogCapture log;
    VirtualScreen v("800 480 12\n");
    EXPECT_EQ(v.screen, nullptr);
    EXPECT_TRUE(log.contains("Unknown pixel format"));
  }
  {
    TempRoot root;
    root.activate();
    LogCapture log;
    EXPECT_EQ(fbInit(), nullptr);
    EXPECT_TRUE(log.contains("Unable to read framebuffer device: /dev/fb0"));
  }
}

TEST(Framebuffer, SixteenBitColours) {
  VirtualScreen v("800 480 16\n");
  ASSERT_NE(v.screen, nullptr);
  Screen* s = v.screen;
  EXPECT_EQ(s->pixelSize, 2u);
  memset(s->workBuf, 0, s->memSize);
  DrawHorizontalLine(0, 0, 1, 255, 255, 255, s);
  DrawHorizontalLine(1, 0, 2, 255, 0, 0, s);
  DrawHorizontalLine(2, 0, 3, 0, 0, 255, s);
  const uint8_t expect[] = {0xFF, 0xFF, 0x00, 0xF8, 0x1F, 0x00, 0, 0};
  EXPECT_EQ(memcmp(s->workBuf, expect, sizeof expect), 0);
}

TEST(Framebuffer, ThirtyTwoBitColourAndHorizontalLines) {
  VirtualScreen v("800 480 32\n");
  Screen* s = v.screen;
  memset(s->workBuf, 0, s->memSize);
  DrawHorizontalLine(5, 10, 5, 250, 150, 0, s);
  EXPECT_EQ(countNonZero(s), 0u);
  DrawHorizontalLine(0, 10, 800, 250, 150, 0, s);
  const uint8_t* row = s->workBuf + 10 * s->lineSize;
  for (int x = 0; x < 800; ++x) {
    ASSERT_EQ(row[x * 4 + 0], 0x00);
    ASSERT_EQ(row[x * 4 + 1], 0x96);
    ASSERT_EQ(row[x * 4 + 2], 0xFA);
    ASSERT_EQ(row[x * 4 + 3], 0x00);
  }
  // Neighbouring rows untouched.
  EXPECT_EQ(s->workBuf[9 * s->lineSize + 4 + 1], 0);
  EXPECT_EQ(s->workBuf[11 * s->lineSize + 4 + 1], 0);
}

TEST(Framebuffer, LineWalks) {
  VirtualScreen v("800 480 32\n");
  Screen* s = v.screen;
  auto lit = [&](int x, int y) { return s->workBuf[y * s->lineSize + x * 4 + 2] == 255; };
  memset(s->workBuf, 0, s->memSize);
  DrawLine(10, 10, 10, 10, 255, 0, 0, s);
  EXPECT_EQ(countNonZero(s), 0u);
  DrawLine(0, 0, 3, 1, 255, 0, 0, s);
  EXPECT_EQ(countNonZero(s), 4u);
  for (int x = 0; x < 4; ++x) EXPECT_TRUE(lit(x, 0) || lit(x, 1)) << x;
  // Both end points included, one pixel per row on a steep line, also drawn backwards.
  memset(s->workBuf, 0, s->memSize);
  DrawLine(20, 50, 17, 40, 255, 0, 0, s);
  EXPECT_EQ(countNonZero(s), 11u);
  EXPECT_TRUE(lit(20, 50));
  EXPECT_TRUE(lit(17, 40));
  for (int y = 40; y <= 50; ++y) {
    int n = 0;
    for (int x = 15; x < 23; ++x) n += lit(x, y);
    EXPECT_EQ(n, 1) << "row " << y;
  }
}

// The exact walk on a 20 x 10 screen. The cases tell apart the plausible wrong walks: end points
// swapped give other pixels on ties (so no normalising of the direction), steep and shallow runs
// step the other axis, negative slopes step backwards, and pixels are clipped by their byte offset
// (a column past either edge wraps onto the neighbouring row; the very last pixel is never written)
// rather than by their coordinates.
TEST(Framebuffer, LineWalkPixelForPixel) {
  using Pixels = std::set<std::pair<int, int>>;
  const struct {
    int x0, y0, x1, y1;
    std::vector<std::pair<int, int>> lit;
  } cases[] = {
      {0, 0, 3, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
      {3, 1, 0, 0, {{3, 1}, {2, 1}, {1, 0}, {0, 0}}},
      {0, 0, 2, 1, {{0, 0}, {1, 1}, {2, 1}}},
      {2, 1, 0, 0, {{2, 1}, {1, 0}, {0, 0}}},
      {0, 0, 1, 3, {{0, 0}, {0, 1}, {1, 2}, {1, 3}}},
      {1, 3, 0, 0, {{1, 3}, {1, 2}, {0, 1}, {0, 0}}},
      {0, 0, 1, 2, {{0, 0}, {1, 1}, {1, 2}}},
      {1, 2, 0, 0, {{1, 2}, {0, 1}, {0, 0}}},
      {0, 0, 5, 2, {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}}},
      {5, 2, 0, 0, {{5, 2}, {4, 2}, {3, 1}, {2, 1}, {1, 0}, {0, 0}}},
      {2, 0, 0, 5, {{2, 0}, {2, 1}, {1, 2}, {1, 3}, {0, 4}, {0, 5}}},
      {0, 5, 2, 0, {{0, 5}, {0, 4}, {1, 3}, {1, 2}, {2, 1}, {2, 0}}},
      {0, 3, 3, 0, {{0, 3}, {1, 2}, {2, 1}, {3, 0}}},
      {3, 0, 0, 3, {{3, 0}, {2, 1}, {1, 2}, {0, 3}}},
      {4, 4, 4, 4, {}},
      {0, 0, 1, 0, {{0, 0}, {1, 0}}},
      {0, 0, 0, 1, {{0, 0}, {0, 1}}},
      {5, 5, 1, 4, {{5, 5}, {4, 5}, {3, 4}, {2, 4}, {1, 4}}},
      {1, 4, 5, 5, {{1, 4}, {2, 4}, {3, 5}, {4, 5}, {5, 5}}},
      {0, 0, 6, 4, {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 3}, {5, 3}, {6, 4}}},
      {6, 4, 0, 0, {{6, 4}, {5, 3}, {4, 3}, {3, 2}, {2, 1}, {1, 1}, {0, 0}}},
      {2, 7, 4, 1, {{2, 7}, {2, 6}, {3, 5}, {3, 4}, {3, 3}, {4, 2}, {4, 1}}},
      {4, 1, 2, 7, {{4, 1}, {4, 2}, {3, 3}, {3, 4}, {3, 5}, {2, 6}, {2, 7}}},
      {18, 3, 22, 3, {{18, 3}, {19, 3}, {0, 4}, {1, 4}, {2, 4}}},
      {1, 1, -2, 1, {{1, 1}, {0, 1}, {19, 0}, {18, 0}}},
      {0, 0, -2, 0, {{0, 0}}},
      {17, 9, 19, 9, {{17, 9}, {18, 9}}},
      {3, 8, 5, 12, {{3, 8}, {4, 9}}},
  };
  for (const auto& c : cases) {
    MemoryScreen m(20, 10);
    DrawLine(c.x0, c.y0, c.x1, c.y1, 255, 255, 255, &m.s);
    Pixels got;
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 20; ++x) {
        const uint8_t* p = m.work.data() + y * m.s.lineSize + x * 4;
        if (p[0] | p[1] | p[2] | p[3]) {
          EXPECT_TRUE(p[0] == 255 && p[1] == 255 && p[2] == 255 && p[3] == 0);
          got.insert({x, y});
        }
      }
    EXPECT_EQ(got, Pixels(c.lit.begin(), c.lit.end()))
        << "(" << c.x0 << ", " << c.y0 << ") to (" << c.x1 << ", " << c.y1 << ")";
  }
}

TEST(Framebuffer, LinesAreClippedByOffsetAndNeverWriteOutside) {
  VirtualScreen v("800 480 32\n");
  Screen* s = v.screen;
  memset(s->workBuf, 0, s->memSize);
  // Far outside at both ends: only the pixels inside the buffer are written (ASan guards the rest).
  DrawLine(-5000, -3000, 5000, 3000, 255, 255, 255, s);
  DrawLine(400, 240, 400, 100000, 255, 255, 255, s);
  DrawLine(100000, 0, 0, 479, 255, 255, 255, s);
  EXPECT_GT(countNonZero(s), 0u);
  // The last pixel of the buffer is past the clipping limit (offset must lie below memSize - pixelSize).
  memset(s->workBuf, 0, s->memSize);
  DrawLine(798, 479, 799, 479, 255, 255, 255, s);
  EXPECT_NE(s->workBuf[479 * s->lineSize + 798 * 4], 0);
  EXPECT_EQ(s->workBuf[479 * s->lineSize + 799 * 4], 0);
}

TEST(Framebuffer, RectangleOutline) {
  VirtualScreen v("800 480 32\n");
  Screen* s = v.screen;
  Works w;
  w.fb = s;
  memset(s->workBuf, 0, s->memSize);
  DrawRect(&w, 10, 20, 30, 40, 0, 255, 0);
  auto lit = [&](int x, int y) { return s->workBuf[y * s->lineSize + x * 4 + 1] == 255; };
  EXPECT_TRUE(lit(10, 20));
  EXPECT_TRUE(lit(10, 40));
  EXPECT_TRUE(lit(30, 30));
  EXPECT_TRUE(lit(29, 40));
  EXPECT_FALSE(lit(20, 30));
  EXPECT_FALSE(lit(31, 30));
}

// Every depth the driver may report: the buffers hold whole rows of the layout the primitives use
// (whole bytes per pixel), so a full last row, a rectangle round the screen and a frame copy all stay
// inside them; the address sanitizer watches the heap buffers. An odd geometry keeps bits x pixels / 8
// from happening to match the row layout.
TEST(Framebuffer, EveryDepthKeepsDrawingInsideItsBuffers) {
  const struct {
    unsigned bits, pixelSize;
    bool draws;
  } depths[] = {{4, 1, false}, {5, 2, true},   {8, 1, false}, {15, 2, true},
                {16, 2, true}, {24, 3, false}, {32, 4, true}};
  for (const auto& d : depths) {
    SCOPED_TRACE(d.bits);
    const std::string geometry = "97 13 " + std::to_string(d.bits) + "\n";
    VirtualScreen v(geometry.c_str());
    ASSERT_NE(v.screen, nullptr);
    Screen* s = v.screen;
    ASSERT_EQ(s->pixelSize, d.pixelSize);
    ASSERT_EQ(s->lineSize, 97u * d.pixelSize);
    ASSERT_EQ(s->memSize, s->lineSize * 13u) << "the buffers must hold every row the drawing addresses";
    memset(s->backBuf, 0, s->memSize);
    fbSetBack(s);
    DrawHorizontalLine(0, 12, 97, 255, 255, 255, s);
    Works w;
    w.fb = s;
    DrawRect(&w, 0, 0, 96, 12, 255, 255, 255);
    DrawLine(0, 0, 96, 12, 255, 255, 255, s);
    const uint8_t* last = s->workBuf + 12 * s->lineSize + 96 * s->pixelSize;
    if (d.draws) {
      EXPECT_EQ(last[0], 0xFF);
      EXPECT_EQ(last[1], 0xFF);
    } else {
      EXPECT_EQ(countNonZero(s), 0u);
    }
    fbRealize(s);
    std::ifstream f(v.root.file("/dev/fb0"), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
    ASSERT_GE(bytes.size(), s->memSize);
    EXPECT_EQ(memcmp(bytes.data(), s->workBuf, s->memSize), 0) << "the whole image reaches the device";
  }
}

TEST(Framebuffer, TwentyFourBitsOpensButDrawsNothing) {
  VirtualScreen v("800 480 24\n");
  ASSERT_NE(v.screen, nullptr);
  Screen* s = v.screen;
  EXPECT_EQ(s->pixelSize, 3u);
  memset(s->workBuf, 0, s->memSize);
  DrawLine(0, 0, 100, 100, 255, 255, 255, s);
  DrawHorizontalLine(0, 5, 800, 255, 255, 255, s);
  EXPECT_EQ(countNonZero(s), 0u);
}

}  // namespace
