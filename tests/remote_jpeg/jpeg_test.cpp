// Tests of the JPEG codec: stream layout, edge cases, hostile input, and both halves against libjpeg-turbo.
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/works.h"
#include "platform/log.h"
#include "remote/jpeg.h"
#include "remote/jpeg_tables.h"
#include "remote/remote.h"
#include "ui/memory_screen.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// Smooth gradients, hard-edged shapes, fine stripes and a little noise: RGBA, alpha set to a pattern the
// encoder must ignore.
Bytes Picture(int w, int h, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bytes px(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
      int r = x * 255 / std::max(1, w - 1), g = y * 255 / std::max(1, h - 1), b = (x + y) * 3 % 256;
      if ((x / 23 + y / 17) % 5 == 0) r = 250, g = 40, b = 30;  // red tiles
      if (x % 40 < 3 && y > h / 2) r = g = b = 10;              // dark stripes
      const int n = static_cast<int>(rng() % 9) - 4;
      p[0] = static_cast<uint8_t>(std::clamp(r + n, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g + n, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(b - n, 0, 255));
      p[3] = static_cast<uint8_t>(x ^ y);
    }
  return px;
}

// Luminance as R = G = B, the reference for grey encodes.
Bytes Grey(const Bytes& rgba) {
  Bytes g(rgba);
  for (size_t i = 0; i < g.size(); i += 4)
    g[i] = g[i + 1] = g[i + 2] =
        static_cast<uint8_t>((19595 * g[i] + 38470 * g[i + 1] + 7471 * g[i + 2] + 32768) >> 16);
  return g;
}

jpeg::EncodeParams Params(int q, int sub, bool optimize = false, bool shared = false) {
  jpeg::EncodeParams p;
  p.quality = q;
  p.subsampling = static_cast<jpeg::Subsampling>(sub);
  p.optimizeHuffman = optimize;
  p.sharedTable = shared;
  return p;
}

Bytes Encode(const Bytes& px, int w, int h, const jpeg::EncodeParams& p, int channels = 4) {
  Bytes out(static_cast<size_t>(w) * h * 4 + 4096);
  size_t size = out.size();
  if (!jpeg::EncodeToMemory(out.data(), size, w, h, channels, px.data(), p)) return {};
  out.resize(size);
  return out;
}

struct Image {
  Bytes px;  // RGBA
  int w = 0, h = 0, comps = 0;
  bool ok = false;
};

Image Ours(const Bytes& jpg) {
  Image im;
  uint8_t* p = jpeg::DecodeFromMemory(jpg.data(), jpg.size(), &im.w, &im.h, &im.comps, 4);
  if (!p) return im;
  im.px.assign(p, p + static_cast<size_t>(im.w) * im.h * 4);
  std::free(p);
  im.ok = true;
  return im;
}

// libjpeg-turbo's decode with the accurate integer IDCT; `replicate` asks for plain chroma replication, the
// upsampling this codec does. Any warning counts as a failure.
Image Oracle(const Bytes& jpg, bool replicate = true) {
  Image im;
  tjhandle tj = tjInitDecompress();
  int sub = 0, cs = 0;
  if (tjDecompressHeader3(tj, jpg.data(), jpg.size(), &im.w, &im.h, &sub, &cs) == 0) {
    im.px.resize(static_cast<size_t>(im.w) * im.h * 4);
    const int flags = TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING | (replicate ? TJFLAG_FASTUPSAMPLE : 0);
    im.ok = tjDecompress2(tj, jpg.data(), jpg.size(), im.px.data(), im.w, 0, im.h, TJPF_RGBX, flags) == 0;
    for (size_t i = 3; i < im.px.size(); i += 4) im.px[i] = 255;
  }
  tjDestroy(tj);
  return im;
}

// libjpeg-turbo's encoder with the same settings (integer DCT, annex tables scaled the same way); its output is
// byte for byte what `cjpeg -dct int -quality q -sample ...` writes for the same pixels.
Bytes OracleEncode(const Bytes& px, int w, int h, int q, int sub) {
  static const int kSamp[] = {TJSAMP_GRAY, TJSAMP_444, TJSAMP_422, TJSAMP_420};
  tjhandle tj = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  Bytes out;
  if (tjCompress2(tj, px.data(), w, 0, h, TJPF_RGBX, &buf, &size, kSamp[sub], q, TJFLAG_ACCURATEDCT) == 0)
    out.assign(buf, buf + size);
  tjFree(buf);
  tjDestroy(tj);
  return out;
}

double Psnr(const Bytes& a, const Bytes& b) {
  double se = 0;
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = a[i] - b[i];
    se += d * d;
    ++n;
  }
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / se);
}

int MaxDiff(const Bytes& a, const Bytes& b) {
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

// Offset of the first segment with this marker (at its 0xFF), or -1.
long FindMarker(const Bytes& jpg, int marker) {
  size_t i = 2;
  while (i + 4 <= jpg.size() && jpg[i] == 0xFF) {
    if (jpg[i + 1] == marker) return static_cast<long>(i);
    if (jpg[i + 1] == 0xDA) break;
    i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
  }
  return -1;
}

const char* const kSubName[] = {"grey", "4:4:4", "4:2:2", "4:2:0"};

TEST(JpegStream, QuantisationTablesFollowQuality) {
  // Quality 50 keeps the annex tables, 100 makes every entry 1, 1 clamps every entry at 255.
  const Bytes px = Picture(16, 16);
  struct Case {
    int q;
    std::function<int(int natural, bool chroma)> want;
  } cases[] = {{50, [](int n, bool c) { return c ? jpeg::kChromaQuant[n] : jpeg::kLumaQuant[n]; }},
               {100, [](int, bool) { return 1; }},
               {1, [](int, bool) { return 255; }}};
  for (const Case& c : cases) {
    const Bytes jpg = Encode(px, 16, 16, Params(c.q, jpeg::H2V2));
    const long at = FindMarker(jpg, 0xDB);
    ASSERT_GE(at, 0);
    ASSERT_EQ((jpg[at + 2] << 8) | jpg[at + 3], 2 + 2 * 65) << "two tables in one segment";
    for (int t = 0; t < 2; ++t) {
      EXPECT_EQ(jpg[at + 4 + 65 * t], t);
      for (int k = 0; k < 64; ++k)
        ASSERT_EQ(jpg[at + 5 + 65 * t + k], c.want(jpeg::kZigzag[k], t == 1)) << "q " << c.q << " table " << t;
    }
  }
}

TEST(JpegStream, FrameHeaderCarriesSizeAndSamplingFactors) {
  const Bytes px = Picture(801, 481);
  const struct { int sub, comps, lumaFactors; } cases[] = {{0, 1, 0x11}, {1, 3, 0x11}, {2, 3, 0x21}, {3, 3, 0x22}};
  for (const auto& c : cases) {
    const Bytes jpg = Encode(px, 801, 481, Params(75, c.sub));
    ASSERT_EQ(std::string(jpg.begin() + 6, jpg.begin() + 11), std::string("JFIF\0", 5));
    const long at = FindMarker(jpg, 0xC0);
    ASSERT_GE(at, 0) << kSubName[c.sub];
    EXPECT_EQ((jpg[at + 5] << 8) | jpg[at + 6], 481);
    EXPECT_EQ((jpg[at + 7] << 8) | jpg[at + 8], 801);
    ASSERT_EQ(jpg[at + 9], c.comps);
    EXPECT_EQ(jpg[at + 11], c.lumaFactors);
    for (int i = 1; i < c.comps; ++i) EXPECT_EQ(jpg[at + 11 + 3 * i], 0x11);
    EXPECT_EQ(jpg[jpg.size() - 2], 0xFF);
    EXPECT_EQ(jpg[jpg.size() - 1], 0xD9);
  }
}

TEST(JpegRoundTrip, AnySizeKeepsDimensionsAlphaAndPictureForEverySubsampling) {
  const int sizes[][2] = {{1, 1}, {17, 9}, {9, 17}, {16, 16}, {800, 480}, {801, 481}};
  for (const auto& sz : sizes)
    for (int sub = 0; sub <= 3; ++sub) {
      SCOPED_TRACE(std::to_string(sz[0]) + "x" + std::to_string(sz[1]) + " " + kSubName[sub]);
      const Bytes px = Picture(sz[0], sz[1]);
      const Bytes jpg = Encode(px, sz[0], sz[1], Params(90, sub));
      ASSERT_FALSE(jpg.empty());
      const Image ours = Ours(jpg);
      ASSERT_TRUE(ours.ok) << jpeg::LastError();
      EXPECT_EQ(ours.w, sz[0]);
      EXPECT_EQ(ours.h, sz[1]);
      EXPECT_EQ(ours.comps, sub == 0 ? 1 : 3);
      for (size_t i = 3; i < ours.px.size(); i += 4) ASSERT_EQ(ours.px[i], 255);
      const Bytes& ref = sub == 0 ? Grey(px) : px;
      // The picture's saturated red tiles are what subsampled chroma loses most on (libjpeg-turbo alike).
      const double floor[] = {30.0, 30.0, 24.0, 22.0};
      EXPECT_GT(Psnr(ours.px, ref), floor[sub] - (sz[0] * sz[1] > 300 ? 0 : 4));
      // Our decoder agrees with libjpeg-turbo's on our stream.
      const Image oracle = Oracle(jpg);
      ASSERT_TRUE(oracle.ok) << tjGetErrorStr();
      EXPECT_LE(MaxDiff(ours.px, oracle.px), 1);
    }
}

TEST(JpegRoundTrip, FlatPictureStaysFlatUpToTheLastRowAndColumn) {
  // Padding made of anything but the repeated edge would leave ripples in the partial blocks.
  const int sizes[][2] = {{1, 1}, {17, 9}, {13, 31}, {801, 481}};
  for (const auto& sz : sizes)
    for (int sub = 0; sub <= 3; ++sub) {
      Bytes px(static_cast<size_t>(sz[0]) * sz[1] * 4);
      for (size_t i = 0; i < px.size(); i += 4) px[i] = 200, px[i + 1] = 120, px[i + 2] = 40;
      const Image ours = Ours(Encode(px, sz[0], sz[1], Params(75, sub)));
      ASSERT_TRUE(ours.ok);
      const Bytes ref = sub == 0 ? Grey(px) : px;
      for (size_t i = 0; i < px.size(); i += 4)
        for (int c = 0; c < 3; ++c)
          ASSERT_LE(std::abs(ours.px[i + c] - ref[i + c]), 3)
              << sz[0] << "x" << sz[1] << " " << kSubName[sub] << " pixel " << i / 4;
    }
}

TEST(JpegRoundTrip, OneThreeAndFourChannelInputsAgree) {
  const Bytes rgba = Picture(40, 24);
  Bytes rgb, grey;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    grey.push_back(Grey(rgba)[i]);
  }
  EXPECT_EQ(Encode(rgba, 40, 24, Params(80, 3)), Encode(rgb, 40, 24, Params(80, 3), 3));
  EXPECT_EQ(Encode(rgba, 40, 24, Params(80, 0)), Encode(grey, 40, 24, Params(80, 0), 1));
  // Requested components 1 and 3 carry the same samples as 4.
  const Bytes jpg = Encode(rgba, 40, 24, Params(80, 1));
  const Image four = Ours(jpg);
  int w, h, c;
  uint8_t* three = jpeg::DecodeFromMemory(jpg.data(), jpg.size(), &w, &h, &c, 3);
  ASSERT_NE(three, nullptr);
  for (int i = 0; i < w * h; ++i) ASSERT_EQ(0, std::memcmp(three + 3 * i, &four.px[4 * i], 3));
  std::free(three);
}

TEST(JpegRoundTrip, TailoredHuffmanTablesShrinkTheStreamAndKeepThePixels) {
  const Bytes px = Picture(320, 200);
  for (int sub = 0; sub <= 3; ++sub) {
    const Bytes standard = Encode(px, 320, 200, Params(75, sub));
    const Bytes tailored = Encode(px, 320, 200, Params(75, sub, true));
    EXPECT_LT(tailored.size(), standard.size() * 97 / 100) << kSubName[sub];
    const Image a = Oracle(standard), b = Oracle(tailored);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_EQ(a.px, b.px) << kSubName[sub];
    EXPECT_EQ(Ours(tailored).px, a.px);
  }
  // One shared table: a single DQT entry and every component pointing at it.
  const Bytes shared = Encode(px, 320, 200, Params(75, 3, false, true));
  const long dqt = FindMarker(shared, 0xDB), sof = FindMarker(shared, 0xC0);
  EXPECT_EQ((shared[dqt + 2] << 8) | shared[dqt + 3], 67);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(shared[sof + 12 + 3 * i], 0);
  EXPECT_TRUE(Oracle(shared).ok);
}

TEST(JpegEncoder, RefusesBadArgumentsAndShortBuffers) {
  const Bytes px = Picture(64, 64);
  Bytes out(100000);
  const struct {
    const char* what;
    void* dst;
    size_t size;
    int w, h, ch, q, sub;
    const uint8_t* px;
  } cases[] = {{"null buffer", nullptr, 1000, 64, 64, 4, 75, 3, px.data()},
               {"zero size", out.data(), 0, 64, 64, 4, 75, 3, px.data()},
               {"zero width", out.data(), out.size(), 0, 64, 4, 75, 3, px.data()},
               {"negative height", out.data(), out.size(), 64, -1, 4, 75, 3, px.data()},
               {"huge width", out.data(), out.size(), 70000, 1, 4, 75, 3, px.data()},
               {"two channels", out.data(), out.size(), 64, 64, 2, 75, 3, px.data()},
               {"quality 0", out.data(), out.size(), 64, 64, 4, 0, 3, px.data()},
               {"quality 101", out.data(), out.size(), 64, 64, 4, 101, 3, px.data()},
               {"subsampling 4", out.data(), out.size(), 64, 64, 4, 75, 4, px.data()},
               {"no pixels", out.data(), out.size(), 64, 64, 4, 75, 3, nullptr},
               {"buffer too small", out.data(), 600, 64, 64, 4, 75, 3, px.data()}};
  for (const auto& c : cases) {
    size_t size = c.size;
    std::fill(out.begin() + 600, out.end(), 0xAA);
    EXPECT_FALSE(jpeg::EncodeToMemory(c.dst, size, c.w, c.h, c.ch, c.px, Params(c.q, c.sub))) << c.what;
    EXPECT_EQ(size, c.size) << c.what;
    EXPECT_TRUE(std::all_of(out.begin() + 600, out.end(), [](uint8_t b) { return b == 0xAA; })) << c.what;
  }
  // An exact fit succeeds; one byte less fails.
  const Bytes jpg = Encode(px, 64, 64, Params(75, 3));
  size_t size = jpg.size();
  EXPECT_TRUE(jpeg::EncodeToMemory(out.data(), size, 64, 64, 4, px.data(), Params(75, 3)));
  size = jpg.size() - 1;
  EXPECT_FALSE(jpeg::EncodeToMemory(out.data(), size, 64, 64, 4, px.data(), Params(75, 3)));
}

TEST(JpegStreams, FileAndMemoryStreamsCarryTheSameBytes) {
  const Bytes px = Picture(50, 30);
  const Bytes jpg = Encode(px, 50, 30, Params(60, 2));
  const std::string path = (fs::temp_directory_path() / ("korvane_jpeg_" + std::to_string(getpid()) + ".jpg")).string();
  {
    jpeg::FileSink file(path.c_str());
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(jpeg::EncodeToSink(file, 50, 30, 4, px.data(), Params(60, 2)));
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), jpg);
  jpeg::FileSource source(path.c_str());
  int w, h, c;
  uint8_t* fromFile = jpeg::DecodeFromSource(source, &w, &h, &c, 4);
  ASSERT_NE(fromFile, nullptr);
  EXPECT_EQ(Bytes(fromFile, fromFile + w * h * 4), Ours(jpg).px);
  std::free(fromFile);
  fs::remove(path);

  Bytes small(jpg.size() - 1);
  jpeg::MemorySink sink(small.data(), small.size());
  EXPECT_FALSE(jpeg::EncodeToSink(sink, 50, 30, 4, px.data(), Params(60, 2)));
  jpeg::MemorySource memory(jpg.data(), jpg.size());
  uint8_t* fromMemory = jpeg::DecodeFromSource(memory, &w, &h, &c, 4);
  EXPECT_NE(fromMemory, nullptr);
  std::free(fromMemory);
}

TEST(JpegDecoder, TruncatedOrDamagedStreamsGiveNull) {
  const Bytes px = Picture(40, 40);
  for (int sub = 0; sub <= 3; ++sub) {
    const Bytes jpg = Encode(px, 40, 40, Params(75, sub));
    for (size_t n = 0; n < jpg.size(); ++n) {
      int w, h, c;
      uint8_t* p = jpeg::DecodeFromMemory(jpg.data(), n, &w, &h, &c, 4);
      ASSERT_EQ(p, nullptr) << kSubName[sub] << " cut at " << n << " of " << jpg.size();
    }
  }
  // Hostile headers, made by patching a good stream.
  const Bytes good = Encode(px, 40, 40, Params(75, 3));
  const long sof = FindMarker(good, 0xC0), dht = FindMarker(good, 0xC4), sos = FindMarker(good, 0xDA);
  const struct {
    const char* what;
    long at;
    std::vector<uint8_t> bytes;
  } patches[] = {{"65535 x 65535", sof + 5, {0xFF, 0xFF, 0xFF, 0xFF}},
                 {"8192 x 8192", sof + 5, {0x20, 0x00, 0x20, 0x00}},
                 {"zero height (DNL)", sof + 5, {0, 0}},
                 {"12-bit", sof + 4, {12}},
                 {"four components", sof + 9, {4}},
                 {"sampling 3x1", sof + 11, {0x31}},
                 {"quant table 5", sof + 12, {5}},
                 {"arithmetic frame", sof + 1, {0xC9}},
                 {"lossless frame", sof + 1, {0xC3}},
                 {"Huffman table id 7", dht + 4, {0x07}},
                 {"over-full Huffman table", dht + 5, {0, 3}},
                 {"scan of unknown component", sos + 5, {9}},
                 {"scan of table 2", sos + 6, {0x22}},
                 {"no start marker", 0, {0}}};
  for (const auto& p : patches) {
    Bytes bad = good;
    std::copy(p.bytes.begin(), p.bytes.end(), bad.begin() + p.at);
    int w, h, c;
    uint8_t* img = jpeg::DecodeFromMemory(bad.data(), bad.size(), &w, &h, &c, 4);
    EXPECT_EQ(img, nullptr) << p.what;
    std::free(img);
  }
}

// The nine screens of the unit, encoded as the screen frames are (quality 75, 4:2:0) and decoded back.
bool ReadPng(const std::string& path, Bytes& px, int& w, int& h) {
  png_image im{};
  im.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&im, path.c_str())) return false;
  im.format = PNG_FORMAT_RGBA;
  px.resize(PNG_IMAGE_SIZE(im));
  w = static_cast<int>(im.width);
  h = static_cast<int>(im.height);
  return png_image_finish_read(&im, nullptr, px.data(), 0, nullptr) != 0;
}

TEST(JpegScreens, EveryScreenSurvivesTheScreenFrameSettings) {
  const char* const names[] = {"start", "start120", "img1", "img1b", "img3", "img3b", "m5a", "status", "statusB"};
  std::printf("screen      bytes   PSNR ours  PSNR oracle decode  max diff decoders\n");
  for (const char* name : names) {
    Bytes px;
    int w = 0, h = 0;
    ASSERT_TRUE(ReadPng(std::string(KORVANE_SCREENS_DIR) + "/" + name + ".png", px, w, h)) << name;
    const Bytes jpg = Encode(px, w, h, Params(75, jpeg::H2V2));
    const Image ours = Ours(jpg), oracle = Oracle(jpg);
    ASSERT_TRUE(ours.ok && oracle.ok) << name;
    const double psnr = Psnr(ours.px, px);
    std::printf("%-10s %6zu   %8.2f  %8.2f            %d\n", name, jpg.size(), psnr, Psnr(oracle.px, px),
                MaxDiff(ours.px, oracle.px));
    EXPECT_GT(psnr, 30.0) << name;
    EXPECT_LE(MaxDiff(ours.px, oracle.px), 1) << name;
    EXPECT_LT(jpg.size(), px.size() / 8) << name;
  }
}

// Quantised coefficients of every component of a stream, through libjpeg-turbo's transform hook.
std::vector<std::vector<short>> Coefficients(const Bytes& jpg) {
  static std::vector<std::vector<short>>* sink;
  std::vector<std::vector<short>> comps(3);
  sink = &comps;
  tjhandle tj = tjInitTransform();
  tjtransform t{};
  t.op = TJXOP_NONE;
  t.options = TJXOPT_NOOUTPUT;
  t.customFilter = [](short* coeffs, tjregion array, tjregion, int comp, int, tjtransform*) {
    (*sink)[comp].insert((*sink)[comp].end(), coeffs, coeffs + array.w * array.h);
    return 0;
  };
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  tjTransform(tj, jpg.data(), jpg.size(), 1, &out, &outSize, &t, 0);
  tjFree(out);
  tjDestroy(tj);
  return comps;
}

TEST(JpegOracle, EncoderMatchesLibjpegTurboQualityAndSize) {
  const int w = 320, h = 240;
  const Bytes px = Picture(w, h, 7);
  std::printf("subsamp  q    PSNR ours  PSNR cjpeg   bytes ours  bytes cjpeg   size diff\n");
  for (int sub = 0; sub <= 3; ++sub)
    for (int q : {1, 10, 50, 75, 90, 100}) {
      SCOPED_TRACE(std::string(kSubName[sub]) + " q" + std::to_string(q));
      const Bytes ours = Encode(px, w, h, Params(q, sub)), theirs = OracleEncode(px, w, h, q, sub);
      const Image a = Oracle(ours, false), b = Oracle(theirs, false);
      ASSERT_TRUE(a.ok) << "libjpeg-turbo warns on our stream: " << tjGetErrorStr();
      ASSERT_TRUE(b.ok);
      const Bytes& ref = sub == 0 ? Grey(px) : px;
      const double pa = Psnr(a.px, ref), pb = Psnr(b.px, ref);
      const double sizeDiff = 100.0 * (double(ours.size()) - double(theirs.size())) / double(theirs.size());
      std::printf("%-7s %3d   %8.3f   %8.3f   %10zu  %10zu   %+6.2f%%\n", kSubName[sub], q, pa, pb, ours.size(),
                  theirs.size(), sizeDiff);
      EXPECT_GE(pa, pb - 0.2);
      EXPECT_LE(std::fabs(sizeDiff), 3.0);
    }
  // With the same tables and no subsampling the quantised coefficients should be nearly all identical.
  for (int q : {50, 75, 90, 100}) {
    const auto a = Coefficients(Encode(px, w, h, Params(q, 1))), b = Coefficients(OracleEncode(px, w, h, q, 1));
    size_t same = 0, total = 0;
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(a[c].size(), b[c].size());
      ASSERT_GT(a[c].size(), 0u);
      for (size_t i = 0; i < a[c].size(); ++i) same += a[c][i] == b[c][i];
      total += a[c].size();
    }
    std::printf("4:4:4 q%d: %zu of %zu quantised coefficients identical to cjpeg's (%.3f%%)\n", q, same, total,
                100.0 * same / total);
    EXPECT_GE(double(same) / total, 0.99) << "q" << q;
  }
}

// Every quality (so every divisor 1..255 the scaled tables produce) on a picture with flat squares, noise,
// full-range extremes and an odd size: the quantised coefficients must equal cjpeg's one for one. Catches a
// quantiser rounding off by one for some divisor or magnitude, and 4:2:0 luminance conversion going wrong at
// the padded last column and row or where runs of one colour start and end.
TEST(JpegOracle, EncoderCoefficientsEqualLibjpegTurboAtEveryQuality) {
  const int w = 77, h = 45;
  Bytes px = Picture(w, h, 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
      if (x < 24 && y < 16) p[0] = p[1] = p[2] = 0;                               // black: DC at its extreme
      if (x >= 24 && x < 40 && y < 16) p[0] = p[1] = p[2] = 255;                  // white
      if (y >= 16 && y < 32 && x < 32) p[0] = p[1] = p[2] = ((x ^ y) & 1) * 255;  // largest AC terms
    }
  for (int sub : {1, 3})
    for (int q = 1; q <= 100; ++q) {
      const auto a = Coefficients(Encode(px, w, h, Params(q, sub))), b = Coefficients(OracleEncode(px, w, h, q, sub));
      // cjpeg rounds its 2x2 chroma averages differently, so at 4:2:0 only luminance is compared.
      for (int c = 0; c < (sub == 3 ? 1 : 3); ++c)
        ASSERT_EQ(a[c], b[c]) << kSubName[sub] << " q" << q << " component " << c;
    }
}

// `djpeg -dct int -nosmooth`: the accurate integer IDCT and plain chroma replication. A warning counts as a failure.
Image Djpeg(const fs::path& file) {
  Image im;
  const std::string cmd = "djpeg -dct int -nosmooth -pnm '" + file.string() + "' 2>/dev/null";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return im;
  Bytes raw;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) raw.insert(raw.end(), buf, buf + n);
  const int status = pclose(f);
  int maxval = 0, used = 0;
  char kind = 0;
  if (status != 0 || std::sscanf(reinterpret_cast<const char*>(raw.data()), "P%c %d %d %d%n", &kind, &im.w, &im.h,
                                 &maxval, &used) != 4)
    return im;
  const int comps = kind == '6' ? 3 : 1;
  const uint8_t* p = raw.data() + used + 1;
  if (raw.size() < static_cast<size_t>(used + 1) + static_cast<size_t>(im.w) * im.h * comps) return im;
  im.px.resize(static_cast<size_t>(im.w) * im.h * 4);
  for (int i = 0; i < im.w * im.h; ++i, p += comps) {
    for (int c = 0; c < 3; ++c) im.px[4 * i + c] = p[comps == 3 ? c : 0];
    im.px[4 * i + 3] = 255;
  }
  im.ok = true;
  return im;
}

// The stream's own claims, read independently of the codec: inside the decoder's limits or not.
bool WithinLimits(const Bytes& jpg) {
  for (size_t i = 2; i + 4 <= jpg.size();) {
    if (jpg[i] != 0xFF) return false;
    const int m = jpg[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    const size_t len = (jpg[i + 2] << 8) | jpg[i + 3];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      if (m > 0xC2 || i + 12 > jpg.size()) return false;
      const int nf = jpg[i + 9], height = (jpg[i + 5] << 8) | jpg[i + 6];
      if (jpg[i + 4] != 8 || height == 0 || (nf != 1 && nf != 3)) return false;
      // A lone component is never interleaved, so its factors do not matter.
      const int maxFactor = nf == 1 ? 4 : 2;
      for (int c = 0; c < nf; ++c) {
        const int f = jpg[std::min(i + 11 + 3 * c, jpg.size() - 1)];
        if ((f >> 4) < 1 || (f >> 4) > maxFactor || (f & 15) < 1 || (f & 15) > maxFactor) return false;
      }
      return true;
    }
    i += 2 + len;
  }
  return false;
}

TEST(JpegOracle, DecoderMatchesLibjpegTurboOnTheCorpus) {
  const char* env = std::getenv("KORVANE_CORPORA");
  const fs::path dir = fs::path(env ? env : KORVANE_CORPORA) / "jpeg";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "JPEG corpus not found at " << dir << "; set KORVANE_CORPORA";
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().extension() == ".jpg") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  int inside = 0, outside = 0;
  std::printf("file                                                     limits  max diff\n");
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    const Bytes jpg((std::istreambuf_iterator<char>(in)), {});
    const std::string name = fs::relative(f, dir).string();
    const Image ours = Ours(jpg);
    if (!WithinLimits(jpg)) {
      ++outside;
      std::printf("%-56s outside %s\n", name.c_str(), ours.ok ? "DECODED" : "null");
      EXPECT_FALSE(ours.ok) << name;
      continue;
    }
    ++inside;
    const Image oracle = Djpeg(f);
    ASSERT_TRUE(oracle.ok) << name << ": djpeg failed or warned";
    ASSERT_TRUE(ours.ok) << name << ": " << jpeg::LastError();
    ASSERT_EQ(ours.w, oracle.w);
    ASSERT_EQ(ours.h, oracle.h);
    const int diff = MaxDiff(ours.px, oracle.px);
    std::printf("%-56s inside  %d\n", name.c_str(), diff);
    EXPECT_LE(diff, 1) << name;
  }
  std::printf("%d files inside the limits, %d outside\n", inside, outside);
  EXPECT_GT(inside, 50);
}

TEST(JpegOracle, DecoderMatchesDjpegOnEveryKindOfSeedStream) {
  // Small streams written by cjpeg: every sampling, restarts per MCU, tailored tables, progressive (with
  // restarts), one scan per component, RGB without colour transform.
  int files = 0;
  for (const auto& e : fs::directory_iterator(KORVANE_JPEG_SEEDS)) {
    std::ifstream in(e.path(), std::ios::binary);
    const Bytes jpg((std::istreambuf_iterator<char>(in)), {});
    const Image ours = Ours(jpg), oracle = Djpeg(e.path());
    ASSERT_TRUE(oracle.ok) << e.path();
    ASSERT_TRUE(ours.ok) << e.path() << ": " << jpeg::LastError();
    EXPECT_EQ(MaxDiff(ours.px, oracle.px), 0) << e.path();
    ++files;
  }
  EXPECT_GE(files, 12);
}

TEST(JpegScreenFrames, CompressAndUncompressCarryTheScreen) {
  std::vector<std::string> errors;
  setLogCapture([&](int level, const std::string& m) {
    if (level == LOG_ERR) errors.push_back(m);
  });
  MemoryScreen from(800, 480), to(800, 480, 4, 7), other(640, 480, 4, 7);
  from.work = Picture(800, 480, 3);
  from.s.workBuf = from.work.data();
  auto sender = std::make_unique<Works>(), receiver = std::make_unique<Works>();
  sender->fb = &from.s;
  sender->jpegQuality = 75;
  receiver->fb = &to.s;
  Bytes out(from.s.memSize);
  size_t length = out.size();
  ASSERT_EQ(Compress(sender.get(), out.data(), &length), 1);
  ASSERT_LT(length, out.size() / 4);
  ASSERT_EQ(Uncompress(receiver.get(), out.data(), length), 0);
  EXPECT_GT(Psnr(to.work, from.work), 22.0);
  EXPECT_EQ(MaxDiff(to.work, Ours(Bytes(out.begin(), out.begin() + length)).px), 0);
  EXPECT_TRUE(errors.empty());

  // A picture of another size, a damaged one, and a full buffer are dropped with a line each.
  const Bytes before = to.work;
  MemoryScreen small(640, 480);
  sender->fb = &small.s;
  size_t smallLength = out.size();
  ASSERT_EQ(Compress(sender.get(), out.data(), &smallLength), 1);
  EXPECT_EQ(Uncompress(receiver.get(), out.data(), smallLength), -1);
  EXPECT_EQ(Uncompress(receiver.get(), out.data(), smallLength / 2), -1);
  EXPECT_EQ(to.work, before);
  size_t tiny = 100;
  EXPECT_EQ(Compress(sender.get(), out.data(), &tiny), 0);
  setLogCapture(nullptr);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[0].find("640x480"), std::string::npos) << errors[0];
}

}  // namespace
