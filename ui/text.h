// Text on the screen: font slots, drawing and measuring UTF-8 strings.
#pragma once
struct Screen;

// Number of font slots; slot numbers outside 0..kFontSlots-1 draw nothing and measure 0.
constexpr int kFontSlots = 20;

// Loads face 0 of the font file at `path` into the slot at `pixelSize` pixels. A file that cannot be
// loaded is logged and leaves the slot empty (drawing with it then does nothing).
void TTFLoad(const char* path, int pixelSize, int slotNumber);

// Draws the NUL-terminated UTF-8 `text` with its pen starting at pixel x on the baseline y, blending
// the colour (r, g, b) into the screen's work buffer (4-byte pixels only). Safe to call from several
// threads: each slot is used by one caller at a time.
void putString(int slotNumber, int x, int y, const char* text, int r, int g, int b, Screen* screen);

// Width in pixels by which `text` would advance the pen.
int getStringSpace(int slotNumber, const char* text);

// Decodes one code point at *position: -1 when *position has reached `length`, otherwise 1 with
// *valid (1 or 0), *codePoint (0 when invalid) and *position moved past the sequence, or past its
// well-formed beginning only when it is ill-formed.
int utf8_get_next_char(const unsigned char* text, int length, int* position, int* valid, unsigned int* codePoint);

// Keeps each slot's rendered glyphs (coverage, metrics, advance) between calls instead of rendering
// every character anew. The pixels are the same either way; on by default. Switching clears the cache.
void setGlyphCache(bool on);
bool glyphCacheEnabled();
