// Text rendering with FreeType: the font slots, UTF-8 decoding, drawing and measuring strings.
#include "ui/text.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/log.h"
#include "ui/fb.h"

namespace {

// The slot tables. Each slot owns the library handle its face was opened with, so a reload can
// release both and slots never share FreeType state between threads.
FT_Library library[kFontSlots];
FT_Face face[kFontSlots];
FT_GlyphSlot slot[kFontSlots];
int fontSize[kFontSlots];
// A face has one glyph slot: whoever renders with a slot holds its mutex.
std::mutex slotMut[kFontSlots];

// One rendered glyph as the blitter needs it: coverage rows with FreeType's own pitch and pixel mode,
// the bitmap's left edge relative to the pen, the two vertical metrics used for placement, and the advance.
struct Glyph {
  bool loaded = false;
  const uint8_t* buffer = nullptr;
  int pitch = 0;
  int width = 0;
  int rows = 0;
  unsigned char pixelMode = 0;
  int left = 0;  // whole pixels from the pen to the bitmap's first column: the left bearing
  FT_Pos height = 0;
  FT_Pos top = 0;
  FT_Vector advance{0, 0};
};

struct CachedGlyph {
  Glyph glyph;
  std::vector<uint8_t> pixels;
};

// Bound on cached glyphs per slot: labels use a few dozen characters, arbitrary text must not grow it.
constexpr size_t kCacheLimit = 1024;
std::unordered_map<uint64_t, CachedGlyph> cache[kFontSlots];
std::atomic<bool> cacheOn{true};

bool validSlot(int n) { return n >= 0 && n < kFontSlots; }

// Caller holds slotMut[n].
void emptySlot(int n) {
  if (face[n]) FT_Done_Face(face[n]);
  if (library[n]) FT_Done_FreeType(library[n]);
  library[n] = nullptr;
  face[n] = nullptr;
  slot[n] = nullptr;
  fontSize[n] = 0;
  cache[n].clear();
}

// The pen in 26.6, kept in 64 bits so that no position overflows on a 32-bit FT_Pos.
struct Pen {
  long long x, y;
};

// The translation handed to FreeType: only the pen's fraction of a pixel changes the rendered
// coverage; the whole pixels are applied when the bitmap is placed. FreeType refuses to render
// outlines translated beyond its 16-bit raster range, which would make far-off labels vanish.
FT_Vector fraction(const Pen& pen) {
  return FT_Vector{static_cast<FT_Pos>(pen.x & 63), static_cast<FT_Pos>(pen.y & 63)};
}

// Loads and renders one decoded character with `delta` as the glyph's translation; an ill-formed
// sequence shows glyph 0, the font's missing-glyph shape.
bool loadGlyph(int n, bool valid, unsigned int cp, FT_Vector* delta) {
  FT_Set_Transform(face[n], nullptr, delta);
  FT_Error err = valid ? FT_Load_Char(face[n], cp, FT_LOAD_RENDER) : FT_Load_Glyph(face[n], 0, FT_LOAD_RENDER);
  return err == 0;
}

Glyph fromSlot(FT_GlyphSlot gs) {
  Glyph g;
  g.loaded = true;
  g.buffer = gs->bitmap.buffer;
  g.pitch = gs->bitmap.pitch;
  g.width = static_cast<int>(gs->bitmap.width);
  g.rows = static_cast<int>(gs->bitmap.rows);
  g.pixelMode = gs->bitmap.pixel_mode;
  // The renderer already applied the pen's fraction of a pixel, so this is where the coverage
  // really starts: a '!' or a '.' keeps its side bearings instead of being pushed against the pen.
  g.left = gs->bitmap_left;
  g.height = gs->metrics.height;
  g.top = gs->metrics.horiBearingY;
  g.advance = gs->advance;
  return g;
}

// The rendered bitmap depends only on the pen's fraction of a pixel, so that is part of the key.
uint64_t cacheKey(bool valid, unsigned int cp, const Pen& pen) {
  uint64_t glyphKey = valid ? cp : 0x1FFFFFu;  // code points stop at 0x10FFFF
  return (glyphKey << 12) | (static_cast<uint64_t>(pen.x & 63) << 6) | static_cast<uint64_t>(pen.y & 63);
}

// Caller holds slotMut[n]. Returns the glyph for the pen, rendering it on a miss.
const Glyph* cachedGlyph(int n, bool valid, unsigned int cp, const Pen& pen) {
  const uint64_t key = cacheKey(valid, cp, pen);
  auto it = cache[n].find(key);
  if (it != cache[n].end()) return &it->second.glyph;
  if (cache[n].size() >= kCacheLimit) cache[n].clear();
  CachedGlyph entry;
  FT_Vector frac = fraction(pen);
  if (loadGlyph(n, valid, cp, &frac)) {
    entry.glyph = fromSlot(slot[n]);
    const size_t bytes = static_cast<size_t>(entry.glyph.rows) *
                         static_cast<size_t>(entry.glyph.pitch < 0 ? -entry.glyph.pitch : entry.glyph.pitch);
    if (entry.glyph.buffer && bytes > 0) entry.pixels.assign(entry.glyph.buffer, entry.glyph.buffer + bytes);
    entry.glyph.buffer = entry.pixels.empty() ? nullptr : entry.pixels.data();
  }
  auto [pos, inserted] = cache[n].emplace(key, std::move(entry));
  // The vector's storage moved with it; point the glyph at its new home.
  pos->second.glyph.buffer = pos->second.pixels.empty() ? nullptr : pos->second.pixels.data();
  return &pos->second.glyph;
}

inline uint8_t blend(uint8_t old, unsigned a, unsigned nw) {
  return static_cast<uint8_t>(((255 - a) * old) / 255 + (a * nw) / 255);
}

// The bitmap starts at the pen's whole pixel plus the glyph's left bearing; its bottom row sits
// (height - top bearing) below the baseline. Each pixel is clipped by its byte offset so nothing is
// written outside the buffer.
void blit(const Glyph& g, const Pen& pen, unsigned r, unsigned gr, unsigned b, Screen* s) {
  if (!g.buffer || g.rows <= 0 || g.width <= 0) return;
  if (g.pixelMode != FT_PIXEL_MODE_GRAY && g.pixelMode != FT_PIXEL_MODE_MONO) return;
  const long long limit = static_cast<long long>(s->memSize);
  // Whole pixels by flooring, as the fraction handed to the renderer is taken (pen & 63).
  const long long x0 = (pen.x >> 6) + g.left;
  const long long yBottom = (pen.y + static_cast<long long>(g.height) - g.top) / 64;
  const int absPitch = g.pitch < 0 ? -g.pitch : g.pitch;
  for (int k = 0; k < g.rows; ++k) {
    const int row = g.rows - 1 - k;  // counted from the top
    const uint8_t* src = g.pitch >= 0 ? g.buffer + static_cast<size_t>(row) * absPitch
                                      : g.buffer + static_cast<size_t>(g.rows - 1 - row) * absPitch;
    const long long y = yBottom - k;
    const long long rowOff = y * static_cast<long long>(s->lineSize);
    for (int j = 0; j < g.width; ++j) {
      unsigned a = g.pixelMode == FT_PIXEL_MODE_GRAY ? src[j] : ((src[j >> 3] >> (7 - (j & 7))) & 1u) * 255u;
      if (a == 0) continue;
      const long long off = rowOff + (x0 + j) * static_cast<long long>(s->pixelSize);
      if (off < 0 || off + 3 >= limit) continue;
      uint8_t* p = s->workBuf + off;
      p[0] = blend(p[0], a, b);
      p[1] = blend(p[1], a, gr);
      p[2] = blend(p[2], a, r);
      p[3] = 0;
    }
  }
}

int textLength(const char* text) {
  size_t n = strlen(text);
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

unsigned component(int c) { return static_cast<unsigned>(std::clamp(c, 0, 255)); }

}  // namespace

int utf8_get_next_char(const unsigned char* text, int length, int* position, int* valid, unsigned int* codePoint) {
  if (!text || !position || *position < 0 || *position >= length) return -1;
  const int p = *position;
  const unsigned b0 = text[p];
  int need = 0;
  unsigned lo = 0x80, hi = 0xBF, cp = 0;
  if (b0 < 0x80) {
    cp = b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    need = -1;  // a continuation byte or a lead byte that never starts a well-formed sequence
  }
  int used = 1;
  bool ok = need >= 0;
  for (int i = 1; ok && i <= need; ++i) {
    if (p + i >= length) {
      ok = false;
      break;
    }
    const unsigned bi = text[p + i];
    const unsigned l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
    if (bi < l || bi > h) {
      ok = false;
      break;
    }
    cp = (cp << 6) | (bi & 0x3F);
    ++used;
  }
  if (valid) *valid = ok ? 1 : 0;
  if (codePoint) *codePoint = ok ? cp : 0;
  *position = p + used;
  return 1;
}

void TTFLoad(const char* path, int pixelSize, int slotNumber) {
  if (!validSlot(slotNumber)) {
    klog(LOG_ERR, "FreeType: no font slot %d", slotNumber);
    return;
  }
  klog(LOG_INFO, "Iinitializing FreeType");
  FT_Library lib = nullptr;
  FT_Face f = nullptr;
  bool ok = false;
  if (FT_Init_FreeType(&lib) != 0) {
    klog(LOG_ERR, "Error initializing FreeType");
    lib = nullptr;
  } else {
    klog(LOG_INFO, "Loading face: filename=%s", path ? path : "");
    FT_Error err = path ? FT_New_Face(lib, path, 0, &f) : FT_Err_Cannot_Open_Resource;
    if (err == FT_Err_Unknown_File_Format) {
      klog(LOG_ERR, "FreeType: file format not supported");
      f = nullptr;
    } else if (err != 0) {
      klog(LOG_ERR, "FreeType: file error");
      f = nullptr;
    } else {
      klog(LOG_INFO, "Face loaded");
      // Sizes beyond the screen are refused like any size the face cannot take.
      if (pixelSize <= 0 || pixelSize > 1024 ||
          FT_Set_Pixel_Sizes(f, static_cast<FT_UInt>(pixelSize), static_cast<FT_UInt>(pixelSize)) != 0) {
        klog(LOG_ERR, "Error Setting Pixel Size");
      } else {
        klog(LOG_INFO, "Pixel size sat");
        ok = true;
      }
    }
  }
  std::lock_guard<std::mutex> lk(slotMut[slotNumber]);
  emptySlot(slotNumber);
  if (ok) {
    library[slotNumber] = lib;
    face[slotNumber] = f;
    slot[slotNumber] = f->glyph;
    fontSize[slotNumber] = pixelSize;
  } else {
    if (f) FT_Done_Face(f);
    if (lib) FT_Done_FreeType(lib);
  }
}

void putString(int slotNumber, int x, int y, const char* text, int r, int g, int b, Screen* screen) {
  if (!validSlot(slotNumber) || !text || !screen || !screen->workBuf || screen->pixelSize != 4) return;
  std::lock_guard<std::mutex> lk(slotMut[slotNumber]);
  if (!face[slotNumber]) return;
  const bool useCache = cacheOn.load(std::memory_order_relaxed);
  const unsigned cr = component(r), cg = component(g), cb = component(b);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  const int length = textLength(text);
  Pen pen{static_cast<long long>(x) * 64, static_cast<long long>(y) * 64};
  int pos = 0, valid = 0;
  unsigned int cp = 0;
  while (utf8_get_next_char(bytes, length, &pos, &valid, &cp) == 1) {
    Glyph fresh;
    const Glyph* gl = &fresh;
    if (useCache) {
      gl = cachedGlyph(slotNumber, valid != 0, cp, pen);
    } else {
      FT_Vector delta = fraction(pen);
      if (loadGlyph(slotNumber, valid != 0, cp, &delta)) fresh = fromSlot(slot[slotNumber]);
    }
    if (!gl->loaded) continue;
    blit(*gl, pen, cr, cg, cb, screen);
    pen.x += gl->advance.x;
    pen.y += gl->advance.y;
  }
}

int getStringSpace(int slotNumber, const char* text) {
  if (!validSlot(slotNumber) || !text) return 0;
  std::lock_guard<std::mutex> lk(slotMut[slotNumber]);
  if (!face[slotNumber]) return 0;
  const bool useCache = cacheOn.load(std::memory_order_relaxed);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  const int length = textLength(text);
  const Pen origin{0, 0};
  long long width = 0;
  int pos = 0, valid = 0;
  unsigned int cp = 0;
  while (utf8_get_next_char(bytes, length, &pos, &valid, &cp) == 1) {
    if (useCache) {
      const Glyph* gl = cachedGlyph(slotNumber, valid != 0, cp, origin);
      if (gl->loaded) width += gl->advance.x;
    } else if (loadGlyph(slotNumber, valid != 0, cp, nullptr)) {
      width += slot[slotNumber]->advance.x;
    }
  }
  width /= 64;
  return width > INT_MAX ? INT_MAX : width < INT_MIN ? INT_MIN : static_cast<int>(width);
}

void setGlyphCache(bool on) {
  if (cacheOn.exchange(on) == on) return;
  for (int n = 0; n < kFontSlots; ++n) {
    std::lock_guard<std::mutex> lk(slotMut[n]);
    cache[n].clear();
  }
}

bool glyphCacheEnabled() { return cacheOn.load(); }
