// Tables both halves of the JPEG codec share: zig-zag order and the example tables of the standard's annex.
#pragma once
#include <cstdint>

namespace jpeg {

// kZigzag[i] is the natural (row-major) index of the i-th coefficient in zig-zag order.
extern const uint8_t kZigzag[64];

// Example quantisation tables in natural order.
extern const uint8_t kLumaQuant[64];
extern const uint8_t kChromaQuant[64];

// Example Huffman tables: code counts per length 1..16, then the symbols.
struct HuffSpec {
  uint8_t counts[16];
  const uint8_t* symbols;
  int symbolCount;
};
extern const HuffSpec kDcLuma, kDcChroma, kAcLuma, kAcChroma;

// Records why the current call failed; returns false so failures read `return Fail("...")`.
bool Fail(const char* why);

// A quality-scaled quantisation table in natural order, each entry 1..255.
void ScaleQuant(const uint8_t base[64], int quality, uint8_t out[64]);

}  // namespace jpeg
