// The screen record and the drawing primitives every display element rests on.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct Works;

struct Screen {
  int width = 0;
  int height = 0;
  unsigned int memSize = 0;
  unsigned int lineSize = 0;
  unsigned int pixelSize = 0;
  uint8_t* screenMem = nullptr;
  uint8_t* workBuf = nullptr;
  uint8_t* backBuf = nullptr;
  int fd = -1;
  // Held by whoever composes a frame (copy background, draw, show), so two threads never
  // interleave their drawing into workBuf; never held while taking another lock.
  std::mutex drawMut;
  // Counts the images loaded into backBuf, so that what was drawn into the background once (the
  // plot's labels) is known to have gone with it.
  std::atomic<unsigned> backgroundLoads{0};
};

// Opens the root's dev/fb0: a character device is the real framebuffer, a regular file a virtual one
// whose geometry ("800 480 32") is in dev/fb0.geometry beside it. Returns nullptr on failure.
Screen* fbInit();

// Releases a screen; the program keeps its screen for life, tests and tools release theirs.
void fbClose(Screen* screen);

void fbRealize(Screen* screen);
void fbSetBack(Screen* screen);
void DrawHorizontalLine(int x0, int y, int x1, int r, int g, int b, Screen* screen);
void DrawLine(int x0, int y0, int x1, int y1, int r, int g, int b, Screen* screen);
void DrawRect(Works* works, int x0, int y0, int x1, int y1, int r, int g, int b);

// Bytes per pixel for a depth, 0 when the depth is not supported.
unsigned int pixelSizeForBits(unsigned int bits);
