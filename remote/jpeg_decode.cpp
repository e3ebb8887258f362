// Decoder for baseline, extended and progressive Huffman JPEG with 8-bit samples, 1 or 3 components and
// sampling factors of 1 or 2. Every read of the stream and every table index is checked, so a hostile
// stream ends in a null result, never in a read or write outside a buffer.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "remote/jpeg.h"
#include "remote/jpeg_tables.h"

namespace jpeg {
namespace {

constexpr int kLookBits = 9;

struct Huffman {
  bool defined = false;
  uint16_t lookup[1 << kLookBits];  // (length << 8) | symbol for codes up to kLookBits long, else 0
  int32_t maxCode[17];              // largest code of each length, -1 when none
  int32_t offset[17];               // symbol index = code + offset[length]
  uint8_t symbols[256];
  int count = 0;
  // For AC codes whose code and value bits together fit in kLookBits: (value << 16) | (run << 8) | bits used,
  // so the common short coefficients take one look-up; 0 where the slow path must run.
  int32_t fastAc[1 << kLookBits];
};

bool BuildHuffman(const uint8_t counts[16], const uint8_t* symbols, int total, Huffman& h) {
  std::memset(h.lookup, 0, sizeof h.lookup);
  std::memcpy(h.symbols, symbols, static_cast<std::size_t>(total));
  h.count = total;
  int32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    const int n = counts[len - 1];
    if (code + n > (1 << len)) return Fail("over-full Huffman table");
    h.offset[len] = k - code;
    for (int i = 0; i < n; ++i, ++k, ++code) {
      if (len <= kLookBits) {
        const int shift = kLookBits - len;
        for (int j = 0; j < (1 << shift); ++j)
          h.lookup[(code << shift) | j] = static_cast<uint16_t>((len << 8) | symbols[k]);
      }
    }
    h.maxCode[len] = n ? code - 1 : -1;
    code <<= 1;
  }
  for (int i = 0; i < (1 << kLookBits); ++i) {
    h.fastAc[i] = 0;
    const int e = h.lookup[i];
    if (!e) continue;
    const int len = e >> 8, run = (e >> 4) & 15, size = e & 15;
    if (size == 0 || len + size > kLookBits) continue;
    int v = (i >> (kLookBits - len - size)) & ((1 << size) - 1);
    if (v < (1 << (size - 1))) v -= (1 << size) - 1;
    h.fastAc[i] = static_cast<int32_t>(static_cast<uint32_t>(v) << 16) | run << 8 | (len + size);
  }
  h.defined = true;
  return true;
}

// Entropy-coded bytes, most significant bit first, with stuffed zeros removed. At a marker or at the end of
// the data it feeds zero bits and counts them: a stream that consumes any of them is damaged or cut short.
struct BitReader {
  const uint8_t* p = nullptr;
  const uint8_t* end = nullptr;
  uint64_t acc = 0;  // left-aligned
  int nbits = 0;
  int padBits = 0;
  bool atMarker = false;
  bool bad = false;

  void Reset(const uint8_t* from, const uint8_t* to) {
    p = from;
    end = to;
    acc = 0;
    nbits = 0;
    padBits = 0;
    atMarker = false;
  }
  void Fill() {
    if (!atMarker && end - p >= 8) {
      // Fast path: the next eight bytes hold no 0xFF, so there is neither stuffing nor a marker to handle.
      uint64_t w;
      std::memcpy(&w, p, 8);
      const uint64_t inv = ~w;
      if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
        const int take = (64 - nbits) >> 3;
        if (take > 0) {
          acc |= (w >> (64 - 8 * take)) << (64 - nbits - 8 * take);
          nbits += 8 * take;
          p += take;
        }
        return;
      }
    }
    while (nbits <= 56) {
      uint32_t b = 0;
      if (!atMarker && p < end) {
        b = *p;
        if (b == 0xFF) {
          if (end - p >= 2 && p[1] == 0) {
            p += 2;
          } else {
            atMarker = true;
            b = 0;
            padBits += 8;
          }
        } else {
          ++p;
        }
      } else {
        padBits += 8;
      }
      acc |= static_cast<uint64_t>(b) << (56 - nbits);
      nbits += 8;
    }
  }
  uint32_t Bits(int n) {  // 1 <= n <= 16
    if (nbits < n) Fill();
    const uint32_t v = static_cast<uint32_t>(acc >> (64 - n));
    acc <<= n;
    nbits -= n;
    return v;
  }
  int Bit() { return static_cast<int>(Bits(1)); }
  // The signed value of an n-bit magnitude category (n 0..15).
  int Receive(int n) {
    if (n == 0) return 0;
    const int v = static_cast<int>(Bits(n));
    return v < (1 << (n - 1)) ? v - (1 << n) + 1 : v;
  }
  int Decode(const Huffman& h) {
    if (nbits < 16) Fill();
    const int e = h.lookup[acc >> (64 - kLookBits)];
    if (e) {
      const int len = e >> 8;
      acc <<= len;
      nbits -= len;
      return e & 0xFF;
    }
    for (int len = kLookBits + 1; len <= 16; ++len) {
      const int32_t code = static_cast<int32_t>(acc >> (64 - len));
      if (code <= h.maxCode[len]) {
        const int32_t idx = code + h.offset[len];
        if (idx < 0 || idx >= h.count) break;
        acc <<= len;
        nbits -= len;
        return h.symbols[idx];
      }
    }
    bad = true;
    return 0;
  }
  bool Overrun() const { return bad || nbits < padBits; }
};

struct Component {
  int id = 0;
  int h = 1, v = 1;
  int tq = 0;
  int bw = 0, bh = 0;  // blocks across and down, padded to whole MCUs
  int cw = 0, ch = 0;  // blocks that hold the component's own samples (non-interleaved scans)
  int dcTable = 0, acTable = 0;
  int pred = 0;
  bool quantLatched = false;
  uint16_t quant[64] = {};     // natural order, copied when the component's first scan starts
  std::vector<int16_t> coefs;  // bw * bh blocks of 64, natural order; progressive and multi-scan streams
  std::vector<uint8_t> plane;  // one MCU row of samples: bw * 8 x v * 8
};

// Inverse DCT (the same factorisation as the encoder's) into 8 rows of `stride`, with the level shift and
// clamping. The arithmetic is unsigned so that a damaged stream's huge coefficients wrap instead of overflowing;
// real streams never come near the wrap, and for them the result is the signed one.
inline int32_t Sar(uint32_t v, int n) { return static_cast<int32_t>(v) >> n; }

// One 8-point pass: c[0..7] at `step` apart in, out[0..7] at `step` apart out, before descaling.
struct Idct8 {
  uint32_t o[8];
  Idct8(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3, uint32_t c4, uint32_t c5, uint32_t c6, uint32_t c7) {
    constexpr int kConstBits = 13;
    const uint32_t z1e = (c2 + c6) * 4433u;
    const uint32_t t2 = z1e - c6 * 15137u, t3 = z1e + c2 * 6270u;
    const uint32_t t0 = (c0 + c4) << kConstBits, t1 = (c0 - c4) << kConstBits;
    const uint32_t t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    uint32_t z1 = c7 + c1, z2 = c5 + c3, z3 = c7 + c3, z4 = c5 + c1;
    const uint32_t z5 = (z3 + z4) * 9633u;
    z1 *= 0u - 7373u;
    z2 *= 0u - 20995u;
    z3 = z3 * (0u - 16069u) + z5;
    z4 = z4 * (0u - 3196u) + z5;
    const uint32_t a0 = c7 * 2446u + z1 + z3, a1 = c5 * 16819u + z2 + z4;
    const uint32_t a2 = c3 * 25172u + z2 + z3, a3 = c1 * 12299u + z1 + z4;
    o[0] = t10 + a3;
    o[7] = t10 - a3;
    o[1] = t11 + a2;
    o[6] = t11 - a2;
    o[2] = t12 + a1;
    o[5] = t12 - a1;
    o[3] = t13 + a0;
    o[4] = t13 - a0;
  }
};

// A block with only its DC term: what the IDCT below gives for it, one value for all 64 samples.
void FillDc(int16_t dcIn, uint16_t quant, uint8_t* out, int stride) {
  constexpr int kPass1Bits = 2;
  const uint32_t dc = static_cast<uint32_t>(dcIn * static_cast<int32_t>(quant)) << kPass1Bits;
  const int32_t v = Sar(dc + (1u << (kPass1Bits + 2)), kPass1Bits + 3) + 128;
  const uint8_t b = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  for (int r = 0; r < 8; ++r) std::memset(out + r * stride, b, 8);
}

void InverseDct(const int16_t* in, const uint16_t* quant, uint8_t* out, int stride) {
  constexpr int kConstBits = 13, kPass1Bits = 2;
  auto clampByte = [](int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  // Flat blocks (most of a screen) have only a DC term: one value for all 64 samples.
  uint64_t ac = static_cast<uint16_t>(in[1] | in[2] | in[3]);
  for (int i = 4; i < 64; i += 4) {
    uint64_t w;
    std::memcpy(&w, in + i, sizeof w);
    ac |= w;
  }
  if (ac == 0) {
    FillDc(in[0], quant[0], out, stride);
    return;
  }
  uint32_t ws[64];
  for (int col = 0; col < 8; ++col) {
    uint32_t c[8];
    for (int r = 0; r < 8; ++r)
      c[r] = static_cast<uint32_t>(in[r * 8 + col] * static_cast<int32_t>(quant[r * 8 + col]));
    if (!(c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7])) {
      for (int r = 0; r < 8; ++r) ws[r * 8 + col] = c[0] << kPass1Bits;
      continue;
    }
    const Idct8 t(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    constexpr int sh = kConstBits - kPass1Bits;
    for (int r = 0; r < 8; ++r) ws[r * 8 + col] = static_cast<uint32_t>(Sar(t.o[r] + (1u << (sh - 1)), sh));
  }
  for (int row = 0; row < 8; ++row) {
    const uint32_t* c = ws + row * 8;
    uint8_t* o = out + row * stride;
    constexpr int sh = kConstBits + kPass1Bits + 3;
    if (!(c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7])) {
      std::memset(o, clampByte(Sar(c[0] + (1u << (kPass1Bits + 2)), kPass1Bits + 3) + 128), 8);
      continue;
    }
    const Idct8 t(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    constexpr uint32_t rnd = (1u << (sh - 1)) + (128u << sh);
    for (int x = 0; x < 8; ++x) o[x] = clampByte(Sar(t.o[x] + rnd, sh));
  }
}

// YCbCr to RGB by table: the chroma terms of each channel, and a clamp to 0..255 for indexes -256..511.
struct ColourTables {
  int crR[256], cbB[256], cbG[256], crG[256];
  uint8_t range[768];
  ColourTables() {
    for (int i = 0; i < 256; ++i) {
      const int c = i - 128;
      crR[i] = (91881 * c + 32768) >> 16;
      cbB[i] = (116130 * c + 32768) >> 16;
      cbG[i] = -22554 * c;
      crG[i] = -46802 * c + 32768;
    }
    for (int i = 0; i < 768; ++i) range[i] = static_cast<uint8_t>(std::clamp(i - 256, 0, 255));
  }
};

const ColourTables& Colour() {
  static const ColourTables tables;
  return tables;
}

class Decoder {
 public:
  Decoder(const uint8_t* data, std::size_t length) : p_(data), end_(data + length) {}
  uint8_t* Run(int* width, int* height, int* actual, int requested);

 private:
  bool Segment(int marker);
  bool ReadQuant(const uint8_t* s, int len);
  bool ReadHuffman(const uint8_t* s, int len);
  bool ReadFrame(const uint8_t* s, int len, int marker);
  bool ReadScan(const uint8_t* s, int len);
  bool DecodeScan(Component** comps, int ns, int ss, int se, int ah, int al);
  bool Restart();
  void SkipToMarker();
  int DecodeBaselineBlock(Component& c, int16_t* blk);
  void DecodeDcFirst(Component& c, int16_t* blk, int al);
  void DecodeAcFirst(Component& c, int16_t* blk, int ss, int se, int al);
  void DecodeAcRefine(Component& c, int16_t* blk, int ss, int se, int al);
  void OutputRow(int mcuRow);

  const uint8_t* p_;
  const uint8_t* end_;
  BitReader br_;
  Huffman dc_[4], ac_[4];
  uint16_t quant_[4][64] = {};
  bool quantDefined_[4] = {};
  int restartInterval_ = 0;
  bool haveFrame_ = false, progressive_ = false, direct_ = false, directDone_ = false, sawScan_ = false;
  bool jfif_ = false, adobe_ = false;
  int adobeTransform_ = -1;
  int width_ = 0, height_ = 0, ncomp_ = 0, hmax_ = 1, vmax_ = 1, mcusX_ = 0, mcusY_ = 0;
  Component comp_[3];
  int eobrun_ = 0;
  bool rgb_ = false;
  int outComps_ = 4;
  uint8_t* out_ = nullptr;
};

int ReadWord(const uint8_t* s) { return (s[0] << 8) | s[1]; }

bool Decoder::ReadQuant(const uint8_t* s, int len) {
  while (len > 0) {
    const int pq = s[0] >> 4, tq = s[0] & 15;
    if (pq > 1 || tq > 3) return Fail("bad quantisation table header");
    const int need = 1 + 64 * (pq + 1);
    if (len < need) return Fail("short quantisation table");
    for (int k = 0; k < 64; ++k)
      quant_[tq][kZigzag[k]] = static_cast<uint16_t>(pq ? ReadWord(s + 1 + 2 * k) : s[1 + k]);
    quantDefined_[tq] = true;
    s += need;
    len -= need;
  }
  return true;
}

bool Decoder::ReadHuffman(const uint8_t* s, int len) {
  while (len > 0) {
    if (len < 17) return Fail("short Huffman table");
    const int tc = s[0] >> 4, th = s[0] & 15;
    if (tc > 1 || th > 3) return Fail("bad Huffman table header");
    int total = 0;
    for (int i = 0; i < 16; ++i) total += s[1 + i];
    if (total > 256 || len < 17 + total) return Fail("bad Huffman table length");
    if (!BuildHuffman(s + 1, s + 17, total, tc ? ac_[th] : dc_[th])) return false;
    s += 17 + total;
    len -= 17 + total;
  }
  return true;
}

bool Decoder::ReadFrame(const uint8_t* s, int len, int marker) {
  if (haveFrame_) return Fail("second frame header");
  if (len < 6) return Fail("short frame header");
  if (s[0] != 8) return Fail("sample precision other than 8 bits");
  height_ = ReadWord(s + 1);
  width_ = ReadWord(s + 3);
  ncomp_ = s[5];
  if (height_ == 0) return Fail("height given by a DNL marker");
  if (width_ == 0) return Fail("zero width");
  if (width_ > kMaxSide || height_ > kMaxSide || static_cast<long>(width_) * height_ > kMaxPixels)
    return Fail("image larger than the decoder allows");
  if (ncomp_ != 1 && ncomp_ != 3) return Fail("component count other than 1 or 3");
  if (len < 6 + 3 * ncomp_) return Fail("short frame header");
  progressive_ = marker == 0xC2;
  for (int i = 0; i < ncomp_; ++i) {
    Component& c = comp_[i];
    c.id = s[6 + 3 * i];
    c.h = s[7 + 3 * i] >> 4;
    c.v = s[7 + 3 * i] & 15;
    c.tq = s[8 + 3 * i];
    const int maxFactor = ncomp_ == 1 ? 4 : 2;  // a lone component is never interleaved
    if (c.h < 1 || c.h > maxFactor || c.v < 1 || c.v > maxFactor) return Fail("sampling factor out of range");
    if (c.tq > 3) return Fail("bad quantisation table number");
    for (int j = 0; j < i; ++j)
      if (comp_[j].id == c.id) return Fail("repeated component id");
  }
  if (ncomp_ == 1) comp_[0].h = comp_[0].v = 1;  // a lone component is never interleaved
  hmax_ = vmax_ = 1;
  for (int i = 0; i < ncomp_; ++i) {
    hmax_ = std::max(hmax_, comp_[i].h);
    vmax_ = std::max(vmax_, comp_[i].v);
  }
  mcusX_ = (width_ + 8 * hmax_ - 1) / (8 * hmax_);
  mcusY_ = (height_ + 8 * vmax_ - 1) / (8 * vmax_);
  for (int i = 0; i < ncomp_; ++i) {
    Component& c = comp_[i];
    c.bw = mcusX_ * c.h;
    c.bh = mcusY_ * c.v;
    c.cw = ((width_ * c.h + hmax_ - 1) / hmax_ + 7) / 8;
    c.ch = ((height_ * c.v + vmax_ - 1) / vmax_ + 7) / 8;
    c.plane.assign(static_cast<std::size_t>(c.bw) * 8 * c.v * 8, 0);
  }
  haveFrame_ = true;
  return true;
}

void Decoder::SkipToMarker() {
  while (p_ < end_ && !(p_[0] == 0xFF && end_ - p_ >= 2 && p_[1] != 0 && p_[1] != 0xFF)) ++p_;
}

bool Decoder::Restart() {
  p_ = br_.p;
  SkipToMarker();
  if (end_ - p_ < 2 || p_[1] < 0xD0 || p_[1] > 0xD7) return Fail("missing restart marker");
  p_ += 2;
  br_.Reset(p_, end_);
  for (int i = 0; i < ncomp_; ++i) comp_[i].pred = 0;
  eobrun_ = 0;
  return true;
}

// Returns the zig-zag index of the last coefficient written: 0 when the block has only its DC term.
int Decoder::DecodeBaselineBlock(Component& c, int16_t* blk) {
  const int s = br_.Decode(dc_[c.dcTable]);
  c.pred = static_cast<int16_t>(c.pred + br_.Receive(s & 15));
  blk[0] = static_cast<int16_t>(c.pred);
  const Huffman& h = ac_[c.acTable];
  int last = 0;
  for (int k = 1; k < 64; ++k) {
    if (br_.nbits < 16) br_.Fill();
    const int32_t fast = h.fastAc[br_.acc >> (64 - kLookBits)];
    if (fast) {
      br_.acc <<= fast & 0xFF;
      br_.nbits -= fast & 0xFF;
      k += (fast >> 8) & 0xFF;
      if (k > 63) {
        br_.bad = true;
        return 63;
      }
      blk[kZigzag[k]] = static_cast<int16_t>(fast >> 16);
      last = k;
      continue;
    }
    const int rs = br_.Decode(h);
    const int r = rs >> 4, sz = rs & 15;
    if (sz) {
      k += r;
      if (k > 63) {
        br_.bad = true;
        return 63;
      }
      blk[kZigzag[k]] = static_cast<int16_t>(br_.Receive(sz));
      last = k;
    } else if (r == 15) {
      k += 15;
    } else {
      return last;
    }
  }
  return last;
}

void Decoder::DecodeDcFirst(Component& c, int16_t* blk, int al) {
  const int s = br_.Decode(dc_[c.dcTable]);
  c.pred = static_cast<int16_t>(c.pred + br_.Receive(s & 15));
  blk[0] = static_cast<int16_t>(static_cast<uint32_t>(c.pred) << al);
}

void Decoder::DecodeAcFirst(Component& c, int16_t* blk, int ss, int se, int al) {
  if (eobrun_ > 0) {
    --eobrun_;
    return;
  }
  const Huffman& h = ac_[c.acTable];
  for (int k = ss; k <= se; ++k) {
    const int rs = br_.Decode(h);
    const int r = rs >> 4, sz = rs & 15;
    if (sz) {
      k += r;
      if (k > se) {
        br_.bad = true;
        return;
      }
      blk[kZigzag[k]] = static_cast<int16_t>(static_cast<uint32_t>(br_.Receive(sz)) << al);
    } else if (r == 15) {
      k += 15;
    } else {
      eobrun_ = (1 << r) - 1;
      if (r) eobrun_ += static_cast<int>(br_.Bits(r));
      return;
    }
  }
}

void Decoder::DecodeAcRefine(Component& c, int16_t* blk, int ss, int se, int al) {
  const int p1 = 1 << al, m1 = -p1;
  int k = ss;
  auto refine = [&](int16_t& coef) {
    if (br_.Bit() && (coef & p1) == 0) coef = static_cast<int16_t>(coef + (coef >= 0 ? p1 : m1));
  };
  if (eobrun_ == 0) {
    const Huffman& h = ac_[c.acTable];
    for (; k <= se; ++k) {
      const int rs = br_.Decode(h);
      int r = rs >> 4;
      const int sz = rs & 15;
      int v = 0;
      if (sz) {
        if (sz != 1) {
          br_.bad = true;
          return;
        }
        v = br_.Bit() ? p1 : m1;
      } else if (r != 15) {
        eobrun_ = 1 << r;
        if (r) eobrun_ += static_cast<int>(br_.Bits(r));
        break;
      }
      for (; k <= se; ++k) {
        int16_t& coef = blk[kZigzag[k]];
        if (coef != 0) {
          refine(coef);
        } else {
          if (r == 0) break;
          --r;
        }
      }
      if (v) {
        if (k > se) {
          br_.bad = true;
          return;
        }
        blk[kZigzag[k]] = static_cast<int16_t>(v);
      }
    }
  }
  if (eobrun_ > 0) {
    for (; k <= se; ++k) {
      int16_t& coef = blk[kZigzag[k]];
      if (coef != 0) refine(coef);
    }
    --eobrun_;
  }
}

bool Decoder::DecodeScan(Component** comps, int ns, int ss, int se, int ah, int al) {
  br_.Reset(p_, end_);
  eobrun_ = 0;
  for (int i = 0; i < ns; ++i) comps[i]->pred = 0;
  int16_t blk[64] = {};
  int sinceRestart = 0;
  // The one-scan path: decode a block and transform it straight into the component's plane, then clear
  // what it wrote so the buffer starts the next block empty.
  auto direct = [&](Component& c, uint8_t* dst) {
    if (DecodeBaselineBlock(c, blk) == 0) {
      FillDc(blk[0], c.quant[0], dst, c.bw * 8);
      blk[0] = 0;
    } else {
      InverseDct(blk, c.quant, dst, c.bw * 8);
      std::memset(blk, 0, sizeof blk);
    }
  };
  auto coefs = [](Component& c, int bx, int by) { return &c.coefs[(static_cast<std::size_t>(by) * c.bw + bx) * 64]; };
  auto decodeBlock = [&](Component& c, int16_t* b) {
    if (!progressive_) {
      DecodeBaselineBlock(c, b);
    } else if (ss == 0) {
      if (ah == 0) {
        DecodeDcFirst(c, b, al);
      } else if (br_.Bit()) {
        b[0] = static_cast<int16_t>(b[0] | (1 << al));
      }
    } else if (ah == 0) {
      DecodeAcFirst(c, b, ss, se, al);
    } else {
      DecodeAcRefine(c, b, ss, se, al);
    }
  };
  auto restartDue = [&](bool last) -> bool {
    if (restartInterval_ && ++sinceRestart == restartInterval_ && !last) {
      sinceRestart = 0;
      if (br_.Overrun()) return Fail("entropy-coded data damaged or cut short");
      if (!Restart()) return false;
    }
    return true;
  };
  if (ns == 1) {
    // Non-interleaved: one block per MCU over the component's own blocks.
    Component& c = *comps[0];
    for (int by = 0; by < c.ch; ++by) {
      for (int bx = 0; bx < c.cw; ++bx) {
        if (direct_) {
          direct(c, &c.plane[static_cast<std::size_t>(bx) * 8]);
        } else {
          decodeBlock(c, coefs(c, bx, by));
        }
        if (!restartDue(by == c.ch - 1 && bx == c.cw - 1)) return false;
      }
      if (br_.Overrun()) return Fail("entropy-coded data damaged or cut short");
      if (direct_) OutputRow(by);
    }
  } else {
    for (int my = 0; my < mcusY_; ++my) {
      for (int mx = 0; mx < mcusX_; ++mx) {
        for (int i = 0; i < ns; ++i) {
          Component& c = *comps[i];
          for (int y = 0; y < c.v; ++y)
            for (int x = 0; x < c.h; ++x) {
              if (direct_) {
                direct(c, &c.plane[static_cast<std::size_t>(y * 8) * c.bw * 8 + (mx * c.h + x) * 8]);
              } else {
                decodeBlock(c, coefs(c, mx * c.h + x, my * c.v + y));
              }
            }
        }
        if (!restartDue(my == mcusY_ - 1 && mx == mcusX_ - 1)) return false;
      }
      if (br_.Overrun()) return Fail("entropy-coded data damaged or cut short");
      if (direct_) OutputRow(my);
    }
  }
  if (br_.Overrun()) return Fail("entropy-coded data damaged or cut short");
  p_ = br_.p;
  SkipToMarker();
  return true;
}

bool Decoder::ReadScan(const uint8_t* s, int len) {
  if (!haveFrame_) return Fail("scan before frame header");
  if (direct_) return Fail("scan after the only scan");
  if (len < 1) return Fail("short scan header");
  const int ns = s[0];
  if (ns < 1 || ns > ncomp_ || len < 4 + 2 * ns) return Fail("bad scan component count");
  Component* comps[3];
  int blocksPerMcu = 0;
  for (int i = 0; i < ns; ++i) {
    const int id = s[1 + 2 * i];
    Component* c = nullptr;
    for (int j = 0; j < ncomp_; ++j)
      if (comp_[j].id == id) c = &comp_[j];
    if (!c) return Fail("scan names an unknown component");
    for (int j = 0; j < i; ++j)
      if (comps[j] == c) return Fail("scan repeats a component");
    c->dcTable = s[2 + 2 * i] >> 4;
    c->acTable = s[2 + 2 * i] & 15;
    if (c->dcTable > 3 || c->acTable > 3) return Fail("bad Huffman table number");
    comps[i] = c;
    blocksPerMcu += c->h * c->v;
  }
  if (blocksPerMcu > 10) return Fail("too many blocks per MCU");
  const int ss = s[1 + 2 * ns], se = s[2 + 2 * ns], ah = s[3 + 2 * ns] >> 4, al = s[3 + 2 * ns] & 15;
  if (progressive_) {
    if (se > 63 || ss > se || ah > 13 || al > 13) return Fail("bad progressive scan parameters");
    if ((ss == 0) != (se == 0)) return Fail("bad progressive scan parameters");
    if (ss > 0 && ns != 1) return Fail("interleaved AC scan");
  }
  for (int i = 0; i < ns; ++i) {
    Component& c = *comps[i];
    const bool needDc = !progressive_ || (ss == 0 && ah == 0);
    const bool needAc = !progressive_ || ss > 0;
    if ((needDc && !dc_[c.dcTable].defined) || (needAc && !ac_[c.acTable].defined))
      return Fail("scan uses an undefined Huffman table");
    if (!c.quantLatched) {
      if (!quantDefined_[c.tq]) return Fail("component uses an undefined quantisation table");
      std::memcpy(c.quant, quant_[c.tq], sizeof c.quant);
      c.quantLatched = true;
    }
  }
  if (!sawScan_ && !progressive_ && ns == ncomp_) {
    direct_ = true;
  } else {
    if (direct_) return Fail("scan after the only scan");
    for (int i = 0; i < ncomp_; ++i)
      if (comp_[i].coefs.empty()) comp_[i].coefs.assign(static_cast<std::size_t>(comp_[i].bw) * comp_[i].bh * 64, 0);
  }
  sawScan_ = true;
  if (!DecodeScan(comps, ns, ss, se, ah, al)) return false;
  if (direct_) directDone_ = true;
  return true;
}

// Colour-converts (and upsamples by repetition) one MCU row of the component planes into the output.
void Decoder::OutputRow(int mcuRow) {
  const int rows = 8 * vmax_;
  const int y0 = mcuRow * rows;
  const int y1 = std::min(y0 + rows, height_);
  int sx[3], sy[3];
  for (int i = 0; i < ncomp_; ++i) {
    sx[i] = comp_[i].h == hmax_ ? 0 : 1;
    sy[i] = comp_[i].v == vmax_ ? 0 : 1;
  }
  for (int y = y0; y < y1; ++y) {
    uint8_t* o = out_ + static_cast<std::size_t>(y) * width_ * outComps_;
    const int ly = y - y0;
    if (ncomp_ == 1) {
      const uint8_t* g = &comp_[0].plane[static_cast<std::size_t>(ly) * comp_[0].bw * 8];
      if (outComps_ == 1) {
        std::memcpy(o, g, static_cast<std::size_t>(width_));
        continue;
      }
      for (int x = 0; x < width_; ++x, o += outComps_) {
        o[0] = o[1] = o[2] = g[x];
        if (outComps_ == 4) o[3] = 255;
      }
      continue;
    }
    const uint8_t* p0 = &comp_[0].plane[static_cast<std::size_t>(ly >> sy[0]) * comp_[0].bw * 8];
    const uint8_t* p1 = &comp_[1].plane[static_cast<std::size_t>(ly >> sy[1]) * comp_[1].bw * 8];
    const uint8_t* p2 = &comp_[2].plane[static_cast<std::size_t>(ly >> sy[2]) * comp_[2].bw * 8];
    if (outComps_ == 4 && !rgb_ && sx[0] == 0 && sx[1] == sx[2]) {
      // The usual case: full-width luminance, both chroma planes alike; each chroma pair serves 1 or 2 pixels.
      const ColourTables& t = Colour();
      const uint8_t* lim = t.range + 256;
      // One RGBA pixel as a word in memory order, so each pixel is one store.
      auto pack = [lim](int yy, int dr, int dg, int db) {
        const uint8_t b[4] = {lim[yy + dr], lim[yy + dg], lim[yy + db], 255};
        uint32_t v;
        std::memcpy(&v, b, 4);
        return v;
      };
      auto pixel = [&pack](uint8_t* q, int yy, int dr, int dg, int db) {
        const uint32_t v = pack(yy, dr, dg, db);
        std::memcpy(q, &v, 4);
      };
      // With chroma halved vertically too, two output rows share each chroma row: do both at once.
      const bool pair = sy[0] == 0 && sy[1] == 1 && sy[2] == 1 && (ly & 1) == 0 && y + 1 < y1;
      const uint8_t* q0 = p0 + comp_[0].bw * 8;
      uint8_t* o2 = o + static_cast<std::size_t>(width_) * 4;
      if (sx[1] == 1) {
        int x = 0;
        for (; x + 1 < width_; x += 2) {
          const int cb = p1[x >> 1], cr = p2[x >> 1];
          const int dr = t.crR[cr], dg = (t.cbG[cb] + t.crG[cr]) >> 16, db = t.cbB[cb];
          // Neighbours of equal luminance (flat screen areas) share the converted pixel.
          const uint32_t a = pack(p0[x], dr, dg, db);
          const uint32_t b = p0[x + 1] == p0[x] ? a : pack(p0[x + 1], dr, dg, db);
          std::memcpy(o + 4 * x, &a, 4);
          std::memcpy(o + 4 * x + 4, &b, 4);
          if (pair) {
            const uint32_t c = q0[x] == p0[x] ? a : pack(q0[x], dr, dg, db);
            const uint32_t d = q0[x + 1] == q0[x] ? c : pack(q0[x + 1], dr, dg, db);
            std::memcpy(o2 + 4 * x, &c, 4);
            std::memcpy(o2 + 4 * x + 4, &d, 4);
          }
        }
        if (x < width_) {
          const int cb = p1[x >> 1], cr = p2[x >> 1];
          const int dr = t.crR[cr], dg = (t.cbG[cb] + t.crG[cr]) >> 16, db = t.cbB[cb];
          pixel(o + 4 * x, p0[x], dr, dg, db);
          if (pair) pixel(o2 + 4 * x, q0[x], dr, dg, db);
        }
      } else {
        for (int x = 0; x < width_; ++x) {
          const int cb = p1[x], cr = p2[x];
          const int dr = t.crR[cr], dg = (t.cbG[cb] + t.crG[cr]) >> 16, db = t.cbB[cb];
          pixel(o + 4 * x, p0[x], dr, dg, db);
          if (pair) pixel(o2 + 4 * x, q0[x], dr, dg, db);
        }
      }
      if (pair) ++y;
      continue;
    }
    for (int x = 0; x < width_; ++x, o += outComps_) {
      const int a = p0[x >> sx[0]], b = p1[x >> sx[1]], c = p2[x >> sx[2]];
      int r, g, bl;
      if (rgb_) {
        r = a, g = b, bl = c;
      } else {
        const int cb = b - 128, cr = c - 128;
        r = a + ((91881 * cr + 32768) >> 16);
        g = a + ((-22554 * cb - 46802 * cr + 32768) >> 16);
        bl = a + ((116130 * cb + 32768) >> 16);
        r = std::clamp(r, 0, 255);
        g = std::clamp(g, 0, 255);
        bl = std::clamp(bl, 0, 255);
      }
      if (outComps_ == 1) {
        o[0] = static_cast<uint8_t>(rgb_ ? (19595 * r + 38470 * g + 7471 * bl + 32768) >> 16 : a);
        continue;
      }
      o[0] = static_cast<uint8_t>(r);
      o[1] = static_cast<uint8_t>(g);
      o[2] = static_cast<uint8_t>(bl);
      if (outComps_ == 4) o[3] = 255;
    }
  }
}

bool Decoder::Segment(int marker) {
  if (end_ - p_ < 2) return Fail("truncated segment");
  const int len = ReadWord(p_);
  if (len < 2 || len > end_ - p_) return Fail("truncated segment");
  const uint8_t* s = p_ + 2;
  p_ += len;
  const int n = len - 2;
  switch (marker) {
    case 0xDB: return ReadQuant(s, n);
    case 0xC4: return ReadHuffman(s, n);
    case 0xC0:
    case 0xC1:
    case 0xC2: return ReadFrame(s, n, marker);
    case 0xDD:
      if (n < 2) return Fail("short restart interval");
      restartInterval_ = ReadWord(s);
      return true;
    case 0xDA: return ReadScan(s, n);
    case 0xE0:
      if (n >= 5 && std::memcmp(s, "JFIF", 5) == 0) jfif_ = true;
      return true;
    case 0xEE:
      if (n >= 12 && std::memcmp(s, "Adobe", 5) == 0) {
        adobe_ = true;
        adobeTransform_ = s[11];
      }
      return true;
    default:
      if ((marker >= 0xC3 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
        return Fail(marker >= 0xC9 ? "arithmetic coding" : marker == 0xC3 ? "lossless coding" : "hierarchical coding");
      if (marker == 0xCC) return Fail("arithmetic coding");
      if (marker == 0xDC) return Fail("DNL marker");
      if (marker == 0xDE || marker == 0xDF) return Fail("hierarchical coding");
      return true;  // application data and comments
  }
}

uint8_t* Decoder::Run(int* width, int* height, int* actual, int requested) {
  if (requested != 1 && requested != 3 && requested != 4) return Fail("requested components not 1, 3 or 4"), nullptr;
  outComps_ = requested;
  if (end_ - p_ < 2 || p_[0] != 0xFF || p_[1] != 0xD8) return Fail("no start-of-image marker"), nullptr;
  p_ += 2;
  struct Free {
    void operator()(uint8_t* q) const { std::free(q); }
  };
  std::unique_ptr<uint8_t, Free> out;
  for (;;) {
    SkipToMarker();
    if (end_ - p_ < 2) return Fail("no end-of-image marker"), nullptr;
    const int marker = p_[1];
    p_ += 2;
    if (marker == 0xD9) break;
    if (marker >= 0xD0 && marker <= 0xD7) continue;  // stray restart marker between scans
    if (marker == 0xD8) return Fail("second start-of-image marker"), nullptr;
    if (marker == 0xDA && haveFrame_ && !out) {
      if (ncomp_ == 3)
        // JFIF means YCbCr; otherwise an Adobe marker says, and failing that components named R, G, B mean RGB.
        rgb_ =
            adobe_ ? adobeTransform_ == 0 : (!jfif_ && comp_[0].id == 'R' && comp_[1].id == 'G' && comp_[2].id == 'B');
      out.reset(static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(width_) * height_ * outComps_)));
      if (!out) return Fail("out of memory"), nullptr;
      out_ = out.get();
    }
    if (!Segment(marker)) return nullptr;
  }
  if (!sawScan_) return Fail("no scan"), nullptr;
  if (!direct_) {
    for (int my = 0; my < mcusY_; ++my) {
      for (int i = 0; i < ncomp_; ++i) {
        Component& c = comp_[i];
        const uint16_t* q = c.quantLatched ? c.quant : quant_[c.tq];
        for (int y = 0; y < c.v; ++y)
          for (int bx = 0; bx < c.bw; ++bx)
            InverseDct(&c.coefs[((static_cast<std::size_t>(my) * c.v + y) * c.bw + bx) * 64], q,
                       &c.plane[static_cast<std::size_t>(y * 8) * c.bw * 8 + bx * 8], c.bw * 8);
      }
      OutputRow(my);
    }
  } else if (!directDone_) {
    return Fail("scan incomplete"), nullptr;
  }
  *width = width_;
  *height = height_;
  if (actual) *actual = ncomp_;
  return out.release();
}

}  // namespace

uint8_t* DecodeFromMemory(const uint8_t* data, std::size_t length, int* width, int* height, int* actualComponents,
                          int requestedComponents) {
  if (!data || !width || !height) return Fail("null argument"), nullptr;
  auto dec = std::make_unique<Decoder>(data, length);
  return dec->Run(width, height, actualComponents, requestedComponents);
}

uint8_t* DecodeFromSource(InputSource& source, int* width, int* height, int* actualComponents,
                          int requestedComponents) {
  constexpr std::size_t kMaxStream = std::size_t{64} << 20;
  std::vector<uint8_t> data;
  bool done = false;
  while (!done) {
    const std::size_t at = data.size();
    if (at >= kMaxStream) return Fail("stream larger than the decoder allows"), nullptr;
    data.resize(at + 65536);
    const int n = source.Read(data.data() + at, 65536, &done);
    if (n < 0) return Fail("read error"), nullptr;
    data.resize(at + static_cast<std::size_t>(n));
    if (n == 0) done = true;
  }
  return DecodeFromMemory(data.data(), data.size(), width, height, actualComponents, requestedComponents);
}

}  // namespace jpeg
