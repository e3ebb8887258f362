// Baseline JFIF encoder: fixed-point colour conversion, integer DCT, standard or tailored Huffman tables.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "remote/jpeg.h"
#include "remote/jpeg_tables.h"

namespace jpeg {
namespace {

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;

inline int32_t Descale(int32_t x, int n) { return (x + (1 << (n - 1))) >> n; }

// Loeffler-Ligtenberg-Moschytz forward DCT on level-shifted samples; the output is 8 times the
// coefficients, which the quantiser's divisors absorb. The first pass runs along the rows and keeps
// kPass1Bits of extra precision; the second runs down the columns, all eight at once, so the compiler can
// put the columns side by side in vector registers.
// Rows whose bit is set in flatRows hold one value eight times; their row pass is a lone 32 (v - 128).
void ForwardDct(int32_t* d, unsigned flatRows) {
  for (int row = 0; row < 8; ++row) {
    int32_t* p = d + row * 8;
    if (flatRows & (1u << row)) {
      p[0] *= 8 * (1 << kPass1Bits);
      for (int i = 1; i < 8; ++i) p[i] = 0;
      continue;
    }
    const int32_t t0 = p[0] + p[7], t7 = p[0] - p[7], t1 = p[1] + p[6], t6 = p[1] - p[6];
    const int32_t t2 = p[2] + p[5], t5 = p[2] - p[5], t3 = p[3] + p[4], t4 = p[3] - p[4];
    const int32_t t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    constexpr int sh = kConstBits - kPass1Bits;
    p[0] = (t10 + t11) * (1 << kPass1Bits);
    p[4] = (t10 - t11) * (1 << kPass1Bits);
    const int32_t z = (t12 + t13) * 4433;
    p[2] = Descale(z + t13 * 6270, sh);
    p[6] = Descale(z - t12 * 15137, sh);
    const int32_t z1 = (t4 + t7) * -7373, z2 = (t5 + t6) * -20995;
    const int32_t z5 = (t4 + t6 + t5 + t7) * 9633;
    const int32_t z3 = (t4 + t6) * -16069 + z5, z4 = (t5 + t7) * -3196 + z5;
    p[7] = Descale(t4 * 2446 + z1 + z3, sh);
    p[5] = Descale(t5 * 16819 + z2 + z4, sh);
    p[3] = Descale(t6 * 25172 + z2 + z3, sh);
    p[1] = Descale(t7 * 12299 + z1 + z4, sh);
  }
  for (int col = 0; col < 8; ++col) {
    int32_t* p = d + col;
    const int32_t t0 = p[0] + p[56], t7 = p[0] - p[56], t1 = p[8] + p[48], t6 = p[8] - p[48];
    const int32_t t2 = p[16] + p[40], t5 = p[16] - p[40], t3 = p[24] + p[32], t4 = p[24] - p[32];
    const int32_t t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    constexpr int sh = kConstBits + kPass1Bits;
    p[0] = Descale(t10 + t11, kPass1Bits);
    p[32] = Descale(t10 - t11, kPass1Bits);
    const int32_t z = (t12 + t13) * 4433;
    p[16] = Descale(z + t13 * 6270, sh);
    p[48] = Descale(z - t12 * 15137, sh);
    const int32_t z1 = (t4 + t7) * -7373, z2 = (t5 + t6) * -20995;
    const int32_t z5 = (t4 + t6 + t5 + t7) * 9633;
    const int32_t z3 = (t4 + t6) * -16069 + z5, z4 = (t5 + t7) * -3196 + z5;
    p[56] = Descale(t4 * 2446 + z1 + z3, sh);
    p[40] = Descale(t5 * 16819 + z2 + z4, sh);
    p[24] = Descale(t6 * 25172 + z2 + z3, sh);
    p[8] = Descale(t7 * 12299 + z1 + z4, sh);
  }
}

// Division by 8q rounded to nearest (halves away from zero). A flat block's lone term goes through a 32-bit
// reciprocal. The block loop stays in 16 bits so that eight coefficients share a vector: (m + 4q) >> 3
// scaled by 4 is divided by 4q as a multiply keeping the high half, by a 16-bit reciprocal rounded up, then
// a shift (again a high-half multiply, as vectors have no per-lane 16-bit shift). Exact for every magnitude
// up to 32767, far above the DCT's 8 x 1024; an exhaustive check of all q and magnitudes confirmed it.
// Without vector units (an armhf build targets no NEON) one 32x32->64 multiply per coefficient is cheaper.
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(__aarch64__)
constexpr bool kVectorQuant = true;
#else
constexpr bool kVectorQuant = false;
#endif

struct Divisors {
  uint32_t recip[64];
  uint32_t half[64];
  uint16_t half16[64];
  uint16_t mul16[64];
  uint16_t shift16[64];
};

void MakeDivisors(const uint8_t quant[64], Divisors& out) {
  for (int i = 0; i < 64; ++i) {
    const uint32_t d = 8u * quant[i];
    out.recip[i] = static_cast<uint32_t>(((uint64_t{1} << 32) + d - 1) / d);
    out.half[i] = d / 2;
    out.half16[i] = static_cast<uint16_t>(d / 2);
    const unsigned d4 = 4u * quant[i];
    // A power of two divides exactly by 2^15 and one shift less, keeping both factors below 2^16.
    const int s = std::bit_width(d4) - 1 - (std::has_single_bit(d4) ? 1 : 0);
    out.mul16[i] = static_cast<uint16_t>(((1u << (16 + s)) + d4 - 1) / d4);
    out.shift16[i] = static_cast<uint16_t>(1u << (16 - s));
  }
}

struct HuffCode {
  uint16_t code[256];
  uint8_t size[256];
};

void MakeCodes(const HuffSpec& spec, HuffCode& out) {
  std::memset(&out, 0, sizeof out);
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < spec.counts[len - 1]; ++i, ++k) {
      out.code[spec.symbols[k]] = static_cast<uint16_t>(code++);
      out.size[spec.symbols[k]] = static_cast<uint8_t>(len);
    }
    code <<= 1;
  }
}

// Tailored table from symbol counts: code lengths by the standard's annex procedure, limited to 16 bits,
// with one code point held back so that no code is all ones.
void BuildOptimal(const uint32_t freqIn[256], uint8_t counts[16], uint8_t symbols[256], int& symbolCount) {
  long freq[257];
  int codesize[257] = {};
  int others[257];
  for (int i = 0; i < 256; ++i) freq[i] = freqIn[i];
  freq[256] = 1;
  std::fill(others, others + 257, -1);
  for (;;) {
    int c1 = -1, c2 = -1;
    long v = 0;
    for (int i = 0; i <= 256; ++i)
      if (freq[i] && (c1 < 0 || freq[i] <= v)) v = freq[i], c1 = i;
    v = 0;
    for (int i = 0; i <= 256; ++i)
      if (freq[i] && i != c1 && (c2 < 0 || freq[i] <= v)) v = freq[i], c2 = i;
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    for (++codesize[c1]; others[c1] >= 0; ++codesize[c1]) c1 = others[c1];
    others[c1] = c2;
    for (++codesize[c2]; others[c2] >= 0; ++codesize[c2]) c2 = others[c2];
  }
  int bits[33] = {};
  for (int i = 0; i <= 256; ++i)
    if (codesize[i]) ++bits[std::min(codesize[i], 32)];
  for (int i = 32; i > 16; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1] += 1;
      bits[j + 1] += 2;
      bits[j] -= 1;
    }
  }
  int i = 16;
  while (bits[i] == 0) --i;
  bits[i] -= 1;  // the held-back code point
  for (int len = 1; len <= 16; ++len) counts[len - 1] = static_cast<uint8_t>(bits[len]);
  symbolCount = 0;
  for (int len = 1; len <= 32; ++len)
    for (int s = 0; s < 256; ++s)
      if (codesize[s] == len) symbols[symbolCount++] = static_cast<uint8_t>(s);
}

// Packs bits most significant first into the caller's buffer, stuffing a zero after every 0xFF. With a sink
// the buffer is a staging area flushed when full; without one, running out of room fails the encode.
class BitWriter {
 public:
  BitWriter(uint8_t* buffer, std::size_t capacity, OutputSink* sink) : buf_(buffer), cap_(capacity), sink_(sink) {}

  void Put(uint32_t bits, int n) {
    acc_ = (acc_ << n) | bits;
    nbits_ += n;
    if (nbits_ >= 32) Drain32();
  }
  void Byte(uint8_t b) {
    if (pos_ >= cap_ && !Flush()) return;
    buf_[pos_++] = b;
  }
  void Word(int v) {
    Byte(static_cast<uint8_t>(v >> 8));
    Byte(static_cast<uint8_t>(v));
  }
  void Bytes(const uint8_t* p, int n) {
    for (int i = 0; i < n; ++i) Byte(p[i]);
  }
  // Pads the last byte with 1-bits.
  void Align() {
    if (nbits_ % 8) Put((1u << (8 - nbits_ % 8)) - 1, 8 - nbits_ % 8);
    while (nbits_ >= 8) {
      nbits_ -= 8;
      Stuffed(static_cast<uint8_t>(acc_ >> nbits_));
    }
  }
  bool Finish() { return ok_ && (!sink_ || Flush()); }
  bool ok() const { return ok_; }
  std::size_t Length() const { return pos_; }

 private:
  void Stuffed(uint8_t b) {
    Byte(b);
    if (b == 0xFF) Byte(0);
  }
  void Drain32() {
    nbits_ -= 32;
    const uint32_t w = static_cast<uint32_t>(acc_ >> nbits_);
    if (cap_ - pos_ >= 8 &&
        (w & 0x80808080u & (w << 1) & (w << 2) & (w << 3) & (w << 4) & (w << 5) & (w << 6) & (w << 7)) == 0) {
      // No 0xFF byte among the four: store them without checks.
      buf_[pos_] = static_cast<uint8_t>(w >> 24);
      buf_[pos_ + 1] = static_cast<uint8_t>(w >> 16);
      buf_[pos_ + 2] = static_cast<uint8_t>(w >> 8);
      buf_[pos_ + 3] = static_cast<uint8_t>(w);
      pos_ += 4;
      return;
    }
    for (int s = 24; s >= 0; s -= 8) Stuffed(static_cast<uint8_t>(w >> s));
  }
  bool Flush() {
    if (!ok_) return false;
    if (!sink_ || !sink_->Put(buf_, pos_)) {
      ok_ = false;
      return false;
    }
    pos_ = 0;
    return true;
  }

  uint8_t* buf_;
  std::size_t cap_;
  std::size_t pos_ = 0;
  OutputSink* sink_;
  bool ok_ = true;
  uint64_t acc_ = 0;
  int nbits_ = 0;
};

inline int BitLength(uint32_t v) { return v ? 32 - __builtin_clz(v) : 0; }

struct Stats {
  uint32_t dc[2][256];
  uint32_t ac[2][256];
};

// Quantised coefficients of one block in natural order, with a mask of the non-zero ones in zig-zag order
// (bit k for the k-th coefficient), so that run-length coding jumps from one to the next.
struct Block {
  int16_t nat[64];
  uint64_t mask;
};

// zigzagBits[r][b]: the zig-zag mask bits of the columns set in b within natural row r.
struct ZigzagBits {
  uint64_t bits[8][256];
  ZigzagBits() {
    uint8_t position[64];
    for (int k = 0; k < 64; ++k) position[kZigzag[k]] = static_cast<uint8_t>(k);
    for (int r = 0; r < 8; ++r)
      for (int b = 0; b < 256; ++b) {
        uint64_t m = 0;
        for (int c = 0; c < 8; ++c)
          if (b & (1 << c)) m |= uint64_t{1} << position[r * 8 + c];
        bits[r][b] = m;
      }
  }
};
const ZigzagBits kZigzagBits;

uint64_t NonZeroMask(const int16_t* nat) {
  // One flag byte per coefficient (a loop the compiler vectorises), then eight flags at a time to a row's bits.
  uint8_t flags[64];
  for (int n = 0; n < 64; ++n) flags[n] = nat[n] != 0;
  uint64_t mask = 0;
  for (int r = 0; r < 8; ++r) {
    unsigned b = 0;
    if constexpr (std::endian::native == std::endian::little) {
      uint64_t w;
      std::memcpy(&w, flags + r * 8, 8);
      // Flag c lands on bit 56 + c of the product, with no carries from the other partial products.
      b = static_cast<unsigned>((w * 0x0102040810204080ull) >> 56);
    } else {
      for (int c = 0; c < 8; ++c) b |= static_cast<unsigned>(flags[r * 8 + c]) << c;
    }
    mask |= kZigzagBits.bits[r][b];
  }
  return mask;
}

void CountBlock(const Block& blk, int& lastDc, uint32_t* dc, uint32_t* ac) {
  const int diff = blk.nat[0] - lastDc;
  lastDc = blk.nat[0];
  ++dc[BitLength(static_cast<uint32_t>(diff < 0 ? -diff : diff))];
  int prev = 0;
  for (uint64_t m = blk.mask & ~uint64_t{1}; m; m &= m - 1) {
    const int k = std::countr_zero(m);
    int run = k - prev - 1;
    prev = k;
    for (; run > 15; run -= 16) ++ac[0xF0];
    const int v = blk.nat[kZigzag[k]];
    ++ac[(run << 4) | BitLength(static_cast<uint32_t>(v < 0 ? -v : v))];
  }
  if (prev < 63) ++ac[0];
}

void EncodeBlock(BitWriter& w, const Block& blk, int& lastDc, const HuffCode& dc, const HuffCode& ac) {
  int diff = blk.nat[0] - lastDc;
  lastDc = blk.nat[0];
  int mag = diff < 0 ? -diff : diff;
  int nb = BitLength(static_cast<uint32_t>(mag));
  if (diff < 0) diff -= 1;
  w.Put((static_cast<uint32_t>(dc.code[nb]) << nb) | (static_cast<uint32_t>(diff) & ((1u << nb) - 1)),
        dc.size[nb] + nb);
  int prev = 0;
  for (uint64_t m = blk.mask & ~uint64_t{1}; m; m &= m - 1) {
    const int k = std::countr_zero(m);
    int run = k - prev - 1;
    prev = k;
    for (; run > 15; run -= 16) w.Put(ac.code[0xF0], ac.size[0xF0]);
    int v = blk.nat[kZigzag[k]];
    mag = v < 0 ? -v : v;
    nb = BitLength(static_cast<uint32_t>(mag));
    if (v < 0) v -= 1;
    const int sym = (run << 4) | nb;
    w.Put((static_cast<uint32_t>(ac.code[sym]) << nb) | (static_cast<uint32_t>(v) & ((1u << nb) - 1)),
          ac.size[sym] + nb);
  }
  if (prev < 63) w.Put(ac.code[0], ac.size[0]);
}

// Level shift, DCT and quantisation of one 8x8 block read from a plane.
void TransformBlock(const uint8_t* src, int stride, const Divisors& div, Block& blk) {
  // A flat block (most of a screen) transforms to a lone DC term of 64 (v - 128), exactly as the DCT gives it.
  uint64_t first;
  std::memcpy(&first, src, 8);
  bool flat = true;
  unsigned flatRows = 0;
  for (int y = 0; y < 8; ++y) {
    uint64_t row;
    std::memcpy(&row, src + y * stride, 8);
    flat = flat && row == first;
    if (row == src[y * stride] * 0x0101010101010101ull) flatRows |= 1u << y;
  }
  if (flat && (flatRows & 1)) {
    const int32_t v = 64 * (src[0] - 128);
    const uint32_t mag = static_cast<uint32_t>(v < 0 ? -v : v);
    const int32_t q = static_cast<int32_t>((uint64_t{mag + div.half[0]} * div.recip[0]) >> 32);
    std::memset(blk.nat, 0, sizeof blk.nat);
    blk.nat[0] = static_cast<int16_t>(v < 0 ? -q : q);
    blk.mask = 0;
    return;
  }
  int32_t d[64];
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) d[y * 8 + x] = src[y * stride + x] - 128;
  ForwardDct(d, flatRows);
  if constexpr (kVectorQuant) {
    // One step per loop: the compiler vectorises each, and recognises the high-half multiplies only alone.
    uint16_t a[64], t[64];
    for (int n = 0; n < 64; ++n)
      a[n] = static_cast<uint16_t>(((d[n] < 0 ? -d[n] : d[n]) + div.half16[n]) >> 1 & 0xFFFC);
    for (int n = 0; n < 64; ++n) t[n] = static_cast<uint16_t>((uint32_t{a[n]} * div.mul16[n]) >> 16);
    for (int n = 0; n < 64; ++n) a[n] = static_cast<uint16_t>((uint32_t{t[n]} * div.shift16[n]) >> 16);
    for (int n = 0; n < 64; ++n) {
      // 1023 is the largest magnitude an 8-bit AC code can carry; real data never reaches it.
      const int16_t q = std::min(static_cast<int16_t>(a[n]), int16_t{1023});
      blk.nat[n] = static_cast<int16_t>(d[n] < 0 ? -q : q);
    }
  } else {
    for (int n = 0; n < 64; ++n) {
      const int32_t v = d[n];
      const uint32_t mag = static_cast<uint32_t>(v < 0 ? -v : v);
      const int32_t q = std::min(static_cast<int32_t>((uint64_t{mag + div.half[n]} * div.recip[n]) >> 32), 1023);
      blk.nat[n] = static_cast<int16_t>(v < 0 ? -q : q);
    }
  }
  blk.mask = NonZeroMask(blk.nat);
}

struct Layout {
  int comps;       // 1 or 3
  int hs, vs;      // luminance blocks per MCU across and down
  int mcuW, mcuH;  // pixels
  int mcusX, mcusY;
  int padW;  // width rounded up to whole MCUs
};

void WriteHeaders(BitWriter& w, const Layout& L, int width, int height, const uint8_t (*quant)[64], int quantTables,
                  const HuffSpec* dcSpec, const HuffSpec* acSpec, int huffTables) {
  static const uint8_t kApp0[] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  w.Word(0xFFD8);
  w.Bytes(kApp0, sizeof kApp0);
  w.Word(0xFFDB);
  w.Word(2 + 65 * quantTables);
  for (int t = 0; t < quantTables; ++t) {
    w.Byte(static_cast<uint8_t>(t));
    for (int k = 0; k < 64; ++k) w.Byte(quant[t][kZigzag[k]]);
  }
  w.Word(0xFFC0);
  w.Word(8 + 3 * L.comps);
  w.Byte(8);
  w.Word(height);
  w.Word(width);
  w.Byte(static_cast<uint8_t>(L.comps));
  for (int c = 0; c < L.comps; ++c) {
    w.Byte(static_cast<uint8_t>(c + 1));
    w.Byte(static_cast<uint8_t>(c == 0 ? (L.hs << 4) | L.vs : 0x11));
    w.Byte(static_cast<uint8_t>(c == 0 || quantTables == 1 ? 0 : 1));
  }
  int length = 2;
  for (int t = 0; t < huffTables; ++t) length += 34 + dcSpec[t].symbolCount + acSpec[t].symbolCount;
  w.Word(0xFFC4);
  w.Word(length);
  for (int t = 0; t < huffTables; ++t) {
    for (int cls = 0; cls < 2; ++cls) {
      const HuffSpec& s = cls == 0 ? dcSpec[t] : acSpec[t];
      w.Byte(static_cast<uint8_t>((cls << 4) | t));
      w.Bytes(s.counts, 16);
      w.Bytes(s.symbols, s.symbolCount);
    }
  }
  w.Word(0xFFDA);
  w.Word(6 + 2 * L.comps);
  w.Byte(static_cast<uint8_t>(L.comps));
  for (int c = 0; c < L.comps; ++c) {
    w.Byte(static_cast<uint8_t>(c + 1));
    w.Byte(c == 0 ? 0x00 : 0x11);
  }
  w.Byte(0);
  w.Byte(63);
  w.Byte(0);
}

// Converts one MCU row of pixels into a luminance strip and (subsampled) chroma strips, repeating the last
// column and row into the padding.
struct Strips {
  std::vector<uint8_t> y, cb, cr;     // padW x mcuH
  std::vector<uint8_t> cbSub, crSub;  // (padW / hs*) x (mcuH / vs*) for the subsampled modes
};

// One pixel's three colour bytes as a word (a fourth byte masked off), so that runs compare in one step.
template <int C>
inline uint32_t PixelKey(const uint8_t* p) {
  if constexpr (C == 4) {
    uint32_t key;
    std::memcpy(&key, p, 4);
    return key & (std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u);
  } else {
    return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
  }
}

struct Ycc {
  uint32_t key = ~0u;
  int y = 0, cb = 0, cr = 0;
};

// Converts p unless it is the colour converted last.
inline void Convert(const uint8_t* p, uint32_t key, Ycc& c) {
  if (key == c.key) return;
  c.key = key;
  const int r = p[0], g = p[1], b = p[2];
  c.y = (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
  // The chroma sums stay within 0..255 after the shift, so only the top needs care.
  c.cb = std::min((-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32767) >> 16, 255);
  c.cr = std::min((32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32767) >> 16, 255);
}

// 4:2:0 conversion straight into the subsampled chroma strips, two rows and two columns at a time: a 2x2
// square of the colour converted last (most of a screen) costs four compares and six stores. Padding
// repeats the last column and row, as for the other samplings.
template <int C>
void ConvertRowH2V2(const Layout& L, int width, int height, const uint8_t* pixels, int row0, Strips& s) {
  const int cw = L.padW / 2;
  const int pairs = std::min(cw, width / 2);  // squares with both columns inside the picture
  for (int j = 0; j < L.mcuH / 2; ++j) {
    const uint8_t* src0 = pixels + static_cast<std::size_t>(std::min(row0 + 2 * j, height - 1)) * width * C;
    const uint8_t* src1 = pixels + static_cast<std::size_t>(std::min(row0 + 2 * j + 1, height - 1)) * width * C;
    uint8_t* y0 = &s.y[static_cast<std::size_t>(2 * j) * L.padW];
    uint8_t* y1 = y0 + L.padW;
    uint8_t* cbo = &s.cbSub[static_cast<std::size_t>(j) * cw];
    uint8_t* cro = &s.crSub[static_cast<std::size_t>(j) * cw];
    Ycc c;
    for (int i = 0; i < cw; ++i) {
      const int xa = i < pairs ? 2 * i : std::min(2 * i, width - 1);
      const int xb = i < pairs ? 2 * i + 1 : std::min(2 * i + 1, width - 1);
      const uint8_t *p00 = src0 + C * xa, *p01 = src0 + C * xb, *p10 = src1 + C * xa, *p11 = src1 + C * xb;
      const uint32_t k00 = PixelKey<C>(p00), k01 = PixelKey<C>(p01), k10 = PixelKey<C>(p10), k11 = PixelKey<C>(p11);
      if (k00 == c.key && k01 == c.key && k10 == c.key && k11 == c.key) {
        const auto y = static_cast<uint8_t>(c.y);
        y0[2 * i] = y0[2 * i + 1] = y1[2 * i] = y1[2 * i + 1] = y;
        cbo[i] = static_cast<uint8_t>(c.cb);
        cro[i] = static_cast<uint8_t>(c.cr);
        continue;
      }
      int cb = 2, cr = 2;
      Convert(p00, k00, c);
      y0[2 * i] = static_cast<uint8_t>(c.y);
      cb += c.cb, cr += c.cr;
      Convert(p01, k01, c);
      y0[2 * i + 1] = static_cast<uint8_t>(c.y);
      cb += c.cb, cr += c.cr;
      Convert(p10, k10, c);
      y1[2 * i] = static_cast<uint8_t>(c.y);
      cb += c.cb, cr += c.cr;
      Convert(p11, k11, c);
      y1[2 * i + 1] = static_cast<uint8_t>(c.y);
      cb += c.cb, cr += c.cr;
      cbo[i] = static_cast<uint8_t>(cb >> 2);
      cro[i] = static_cast<uint8_t>(cr >> 2);
    }
  }
}

void ConvertRow(const Layout& L, int width, int height, int channels, const uint8_t* pixels, int row0, Strips& s) {
  const bool colour = L.comps == 3;
  if (colour && L.hs == 2 && L.vs == 2) {
    if (channels == 4)
      ConvertRowH2V2<4>(L, width, height, pixels, row0, s);
    else
      ConvertRowH2V2<3>(L, width, height, pixels, row0, s);
    return;
  }
  for (int j = 0; j < L.mcuH; ++j) {
    const int sy = std::min(row0 + j, height - 1);
    const uint8_t* src = pixels + static_cast<std::size_t>(sy) * width * channels;
    uint8_t* yo = &s.y[static_cast<std::size_t>(j) * L.padW];
    if (!colour) {
      if (channels == 1) {
        std::memcpy(yo, src, static_cast<std::size_t>(width));
      } else {
        for (int x = 0; x < width; ++x, src += channels)
          yo[x] = static_cast<uint8_t>((19595 * src[0] + 38470 * src[1] + 7471 * src[2] + 32768) >> 16);
      }
      std::fill(yo + width, yo + L.padW, yo[width - 1]);
      continue;
    }
    uint8_t* cbo = &s.cb[static_cast<std::size_t>(j) * L.padW];
    uint8_t* cro = &s.cr[static_cast<std::size_t>(j) * L.padW];
    // Screens are mostly runs of one colour: a pixel like the one before reuses its conversion.
    // The three colour bytes as one word (with four channels the fourth byte is masked off) make the
    // comparison a single one.
    const uint32_t mask = channels == 4 ? (std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u) : 0;
    uint32_t last = ~0u;
    uint8_t y = 0, cb = 0, cr = 0;
    for (int x = 0; x < width; ++x, src += channels) {
      uint32_t key;
      if (channels == 4) {
        std::memcpy(&key, src, 4);
        key &= mask;
      } else {
        key = static_cast<uint32_t>(src[0]) << 16 | src[1] << 8 | src[2];
      }
      if (key != last) {
        last = key;
        const int r = src[0], g = src[1], b = src[2];
        y = static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
        // The chroma sums stay within 0..255 after the shift, so only the top needs care.
        cb = static_cast<uint8_t>(std::min((-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32767) >> 16, 255));
        cr = static_cast<uint8_t>(std::min((32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32767) >> 16, 255));
      }
      yo[x] = y;
      cbo[x] = cb;
      cro[x] = cr;
    }
    std::fill(yo + width, yo + L.padW, yo[width - 1]);
    std::fill(cbo + width, cbo + L.padW, cbo[width - 1]);
    std::fill(cro + width, cro + L.padW, cro[width - 1]);
  }
  if (!colour || L.hs == 1) return;
  const int cw = L.padW / 2;
  for (int j = 0; j < L.mcuH; ++j) {
    const uint8_t* b0 = &s.cb[static_cast<std::size_t>(j) * L.padW];
    const uint8_t* r0 = &s.cr[static_cast<std::size_t>(j) * L.padW];
    uint8_t* cbo = &s.cbSub[static_cast<std::size_t>(j) * cw];
    uint8_t* cro = &s.crSub[static_cast<std::size_t>(j) * cw];
    for (int x = 0; x < cw; ++x) {
      cbo[x] = static_cast<uint8_t>((b0[2 * x] + b0[2 * x + 1] + 1) >> 1);
      cro[x] = static_cast<uint8_t>((r0[2 * x] + r0[2 * x + 1] + 1) >> 1);
    }
  }
}

bool Encode(BitWriter& w, int width, int height, int channels, const uint8_t* pixels, const EncodeParams& params) {
  if (!pixels) return Fail("no pixels");
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return Fail("bad dimensions");
  if (channels != 1 && channels != 3 && channels != 4) return Fail("bad channel count");
  if (params.quality < 1 || params.quality > 100) return Fail("quality out of 1..100");
  if (params.subsampling < Y_ONLY || params.subsampling > H2V2) return Fail("bad subsampling");

  Layout L{};
  L.comps = (channels == 1 || params.subsampling == Y_ONLY) ? 1 : 3;
  L.hs = L.comps == 3 && params.subsampling != H1V1 ? 2 : 1;
  L.vs = L.comps == 3 && params.subsampling == H2V2 ? 2 : 1;
  L.mcuW = 8 * L.hs;
  L.mcuH = 8 * L.vs;
  L.mcusX = (width + L.mcuW - 1) / L.mcuW;
  L.mcusY = (height + L.mcuH - 1) / L.mcuH;
  L.padW = L.mcusX * L.mcuW;

  uint8_t quant[2][64];
  ScaleQuant(kLumaQuant, params.quality, quant[0]);
  ScaleQuant(kChromaQuant, params.quality, quant[1]);
  const int quantTables = L.comps == 1 || params.sharedTable ? 1 : 2;
  Divisors div[2];
  MakeDivisors(quant[0], div[0]);
  MakeDivisors(quant[quantTables - 1], div[1]);

  Strips s;
  const std::size_t stripSize = static_cast<std::size_t>(L.padW) * L.mcuH;
  s.y.resize(stripSize);
  if (L.comps == 3) {
    if (L.vs == 1) {  // 4:2:0 converts straight into the subsampled strips
      s.cb.resize(stripSize);
      s.cr.resize(stripSize);
    }
    s.cbSub.resize(stripSize / (L.hs * L.vs));
    s.crSub.resize(stripSize / (L.hs * L.vs));
  }
  const uint8_t* cbPlane = L.hs * L.vs == 1 ? s.cb.data() : s.cbSub.data();
  const uint8_t* crPlane = L.hs * L.vs == 1 ? s.cr.data() : s.crSub.data();
  const int chromaStride = L.padW / L.hs;

  const int blocksPerMcu = L.hs * L.vs + (L.comps == 3 ? 2 : 0);
  const int huffTables = L.comps == 1 ? 1 : 2;
  HuffSpec dcSpec[2] = {kDcLuma, kDcChroma}, acSpec[2] = {kAcLuma, kAcChroma};

  // The MCUs' quantised blocks, kept for the second pass only when building tailored tables.
  std::vector<Block> stored;
  uint8_t optCounts[4][16], optSymbols[4][256];
  if (params.optimizeHuffman) {
    stored.resize(static_cast<std::size_t>(L.mcusX) * L.mcusY * blocksPerMcu);
    auto stats = std::make_unique<Stats>();
    std::memset(stats.get(), 0, sizeof(Stats));
    int lastDc[3] = {};
    Block* out = stored.data();
    for (int my = 0; my < L.mcusY; ++my) {
      ConvertRow(L, width, height, channels, pixels, my * L.mcuH, s);
      for (int mx = 0; mx < L.mcusX; ++mx) {
        for (int by = 0; by < L.vs; ++by)
          for (int bx = 0; bx < L.hs; ++bx, ++out) {
            TransformBlock(&s.y[static_cast<std::size_t>(by * 8) * L.padW + mx * L.mcuW + bx * 8], L.padW, div[0],
                           *out);
            CountBlock(*out, lastDc[0], stats->dc[0], stats->ac[0]);
          }
        if (L.comps == 3) {
          TransformBlock(cbPlane + mx * 8, chromaStride, div[1], *out);
          CountBlock(*out, lastDc[1], stats->dc[1], stats->ac[1]);
          ++out;
          TransformBlock(crPlane + mx * 8, chromaStride, div[1], *out);
          CountBlock(*out, lastDc[2], stats->dc[1], stats->ac[1]);
          ++out;
        }
      }
    }
    for (int t = 0; t < huffTables; ++t) {
      BuildOptimal(stats->dc[t], optCounts[2 * t], optSymbols[2 * t], dcSpec[t].symbolCount);
      std::memcpy(dcSpec[t].counts, optCounts[2 * t], 16);
      dcSpec[t].symbols = optSymbols[2 * t];
      BuildOptimal(stats->ac[t], optCounts[2 * t + 1], optSymbols[2 * t + 1], acSpec[t].symbolCount);
      std::memcpy(acSpec[t].counts, optCounts[2 * t + 1], 16);
      acSpec[t].symbols = optSymbols[2 * t + 1];
    }
  }
  HuffCode dcCode[2], acCode[2];
  for (int t = 0; t < huffTables; ++t) {
    MakeCodes(dcSpec[t], dcCode[t]);
    MakeCodes(acSpec[t], acCode[t]);
  }

  WriteHeaders(w, L, width, height, quant, quantTables, dcSpec, acSpec, huffTables);
  int lastDc[3] = {};
  if (params.optimizeHuffman) {
    const Block* in = stored.data();
    for (int m = 0; m < L.mcusX * L.mcusY && w.ok(); ++m) {
      for (int b = 0; b < L.hs * L.vs; ++b, ++in) EncodeBlock(w, *in, lastDc[0], dcCode[0], acCode[0]);
      for (int c = 1; c < L.comps; ++c, ++in) EncodeBlock(w, *in, lastDc[c], dcCode[1], acCode[1]);
    }
  } else {
    Block blk;
    for (int my = 0; my < L.mcusY && w.ok(); ++my) {
      ConvertRow(L, width, height, channels, pixels, my * L.mcuH, s);
      for (int mx = 0; mx < L.mcusX; ++mx) {
        for (int by = 0; by < L.vs; ++by)
          for (int bx = 0; bx < L.hs; ++bx) {
            TransformBlock(&s.y[static_cast<std::size_t>(by * 8) * L.padW + mx * L.mcuW + bx * 8], L.padW, div[0], blk);
            EncodeBlock(w, blk, lastDc[0], dcCode[0], acCode[0]);
          }
        if (L.comps == 3) {
          TransformBlock(cbPlane + mx * 8, chromaStride, div[1], blk);
          EncodeBlock(w, blk, lastDc[1], dcCode[1], acCode[1]);
          TransformBlock(crPlane + mx * 8, chromaStride, div[1], blk);
          EncodeBlock(w, blk, lastDc[2], dcCode[1], acCode[1]);
        }
      }
    }
  }
  w.Align();
  w.Word(0xFFD9);
  return w.Finish() || Fail("output does not fit");
}

}  // namespace

bool EncodeToMemory(void* destination, std::size_t& size, int width, int height, int channels, const uint8_t* pixels,
                    const EncodeParams& params) {
  if (!destination || size == 0) return Fail("no destination buffer");
  BitWriter w(static_cast<uint8_t*>(destination), size, nullptr);
  if (!Encode(w, width, height, channels, pixels, params)) return false;
  size = w.Length();
  return true;
}

bool EncodeToSink(OutputSink& sink, int width, int height, int channels, const uint8_t* pixels,
                  const EncodeParams& params) {
  std::vector<uint8_t> staging(16384);
  BitWriter w(staging.data(), staging.size(), &sink);
  return Encode(w, width, height, channels, pixels, params);
}

}  // namespace jpeg
