// Fuzz target for the UTF-8 decoder, and for drawing and measuring arbitrary bytes as text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/text.h"

namespace {

// Re-encodes a code point the standard way, to compare with the bytes the decoder consumed.
size_t encode(unsigned cp, unsigned char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

struct SmallScreen : MemoryScreen {
  SmallScreen() : MemoryScreen(64, 32) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool fontLoaded = [] {
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 12, 1);
    return true;
  }();
  (void)fontLoaded;
  if (size > 4096) return 0;
  const int length = static_cast<int>(size);
  int pos = 0, valid = -1;
  unsigned cp = 0;
  int steps = 0;
  for (;;) {
    const int before = pos;
    const int rc = utf8_get_next_char(data, length, &pos, &valid, &cp);
    if (rc == -1) {
      if (pos != before || before != length) abort();
      break;
    }
    if (rc != 1 || pos <= before || pos > length || pos - before > 4) abort();
    if (valid == 1) {
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) abort();
      unsigned char enc[4];
      const size_t n = encode(cp, enc);
      if (n != static_cast<size_t>(pos - before) || memcmp(enc, data + before, n) != 0) abort();
    } else if (valid == 0) {
      if (cp != 0 || pos - before > 3) abort();
    } else {
      abort();
    }
    if (++steps > length) abort();
  }

  // The same bytes as a label: never a write outside the screen, whatever the position.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  if (size >= 2) {
    SmallScreen scr;
    const int x = static_cast<int8_t>(data[0]), y = static_cast<int8_t>(data[1]);
    putString(1, x, y, text.data(), 255, 255, 255, &scr.s);
    if (getStringSpace(1, text.data()) < 0) abort();
  }
  return 0;
}
