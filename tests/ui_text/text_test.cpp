// Tests of font slots, text drawing (placement, blending, clipping), measuring and the glyph cache.
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "ui/fb.h"
#include "ui/text.h"

namespace {

const char* kSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char* kBold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
const char* kOblique = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf";
const char* kPt = "/usr/share/fonts/truetype/paratype/PTS55F.ttf";

// An in-memory screen with guard bytes after the buffer to catch writes past its end.
struct TestScreen {
  static constexpr size_t kGuard = 256;
  Screen s;
  std::vector<uint8_t> work, back, mem;
  TestScreen(int w, int h, unsigned ps = 4) {
    s.width = w;
    s.height = h;
    s.pixelSize = ps;
    s.lineSize = static_cast<unsigned>(w) * ps;
    s.memSize = s.lineSize * static_cast<unsigned>(h);
    work.assign(s.memSize + kGuard, 0xA5);
    back.assign(s.memSize, 0);
    mem.assign(s.memSize, 0);
    s.workBuf = work.data();
    s.backBuf = back.data();
    s.screenMem = mem.data();
  }
  void fill(uint8_t b, uint8_t g, uint8_t r, uint8_t x = 0) {
    for (size_t i = 0; i < s.memSize; i += 4) {
      work[i] = b;
      work[i + 1] = g;
      work[i + 2] = r;
      work[i + 3] = x;
    }
  }
  const uint8_t* px(int x, int y) const { return work.data() + static_cast<size_t>(y) * s.lineSize + x * 4; }
  bool guardIntact() const {
    for (size_t i = s.memSize; i < work.size(); ++i)
      if (work[i] != 0xA5) return false;
    return true;
  }
  std::vector<uint8_t> pixels() const { return {work.begin(), work.begin() + s.memSize}; }
};

// Rows and columns that hold any pixel different from the uniform fill.
struct Ink {
  int minX = 1 << 30, maxX = -1, minY = 1 << 30, maxY = -1;
  long count = 0;
};
Ink inkOf(const TestScreen& t, const uint8_t fillPx[4]) {
  Ink k;
  for (int y = 0; y < t.s.height; ++y)
    for (int x = 0; x < t.s.width; ++x)
      if (memcmp(t.px(x, y), fillPx, 4) != 0) {
        k.minX = std::min(k.minX, x);
        k.maxX = std::max(k.maxX, x);
        k.minY = std::min(k.minY, y);
        k.maxY = std::max(k.maxY, y);
        ++k.count;
      }
  return k;
}

class TextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TTFLoad(kBold, 24, 0);
    TTFLoad(kSans, 22, 1);
    TTFLoad(kPt, 22, 2);
    TTFLoad(kSans, 14, 6);
    TTFLoad(kOblique, 24, 7);
    TTFLoad(kSans, 20, 8);
    TTFLoad(kSans, 30, 9);
    TTFLoad(kSans, 18, 10);
    TTFLoad(kBold, 21, 11);
  }
  void TearDown() override {
    setGlyphCache(true);
    setLogCapture(nullptr);
  }
};

TEST_F(TextTest, EmptyStringDrawsNothingAndMeasuresZero) {
  for (bool cached : {false, true}) {
    setGlyphCache(cached);
    TestScreen t(64, 48);
    t.fill(1, 2, 3);
    const auto before = t.pixels();
    putString(9, 10, 30, "", 255, 255, 255, &t.s);
    EXPECT_EQ(t.pixels(), before);
    EXPECT_EQ(getStringSpace(9, ""), 0);
  }
}

TEST_F(TextTest, WidthIsTheSumOfAdvancesAndGrowsWithSize) {
  const int a = getStringSpace(1, "A"), b = getStringSpace(1, "B");
  EXPECT_GT(a, 5);
  EXPECT_EQ(getStringSpace(1, "AB"), a + b);
  EXPECT_LT(getStringSpace(6, "Loading ... 5"), getStringSpace(1, "Loading ... 5"));
  EXPECT_LT(getStringSpace(1, "Loading ... 5"), getStringSpace(9, "Loading ... 5"));
  EXPECT_GT(getStringSpace(0, "MMMM"), getStringSpace(0, "iiii"));
}

// The byte 0xFF in "A", 0xFF, "B" shows the missing-glyph shape and takes its own advance.
TEST_F(TextTest, IllFormedByteDrawsTheMissingGlyph) {
  const int wa = getStringSpace(9, "A"), wbad = getStringSpace(9, "\xFF"), wb = getStringSpace(9, "B");
  EXPECT_GT(wbad, 0);
  EXPECT_EQ(getStringSpace(9,
                           "A\xFF"
                           "B"),
            wa + wbad + wb);
  // The missing glyph of an ill-formed byte is the same shape an unmapped code point shows.
  EXPECT_EQ(getStringSpace(9, "\xE2\x82"), wbad);

  TestScreen whole(200, 60), parts(200, 60), gap(200, 60);
  putString(9, 10, 40,
            "A\xFF"
            "B",
            255, 255, 255, &whole.s);
  putString(9, 10, 40, "A", 255, 255, 255, &parts.s);
  putString(9, 10 + wa, 40, "\xFF", 255, 255, 255, &parts.s);
  putString(9, 10 + wa + wbad, 40, "B", 255, 255, 255, &parts.s);
  EXPECT_EQ(whole.pixels(), parts.pixels());
  putString(9, 10, 40, "A", 255, 255, 255, &gap.s);
  putString(9, 10 + wa + wbad, 40, "B", 255, 255, 255, &gap.s);
  EXPECT_NE(whole.pixels(), gap.pixels()) << "the middle character drew nothing";
}

TEST_F(TextTest, DegreeSignIsOneCharacter) {
  const int deg = getStringSpace(1, "\xC2\xB0");
  EXPECT_GT(deg, 0);
  EXPECT_EQ(getStringSpace(1,
                           "25\xC2\xB0"
                           "C"),
            getStringSpace(1, "25") + deg + getStringSpace(1, "C"));
  EXPECT_NE(deg, getStringSpace(1, "\xFF"));
}

// Drawing white on black yields the coverage of every pixel; the same glyphs over any background in
// any colour must then follow the blending formula exactly, and uncovered pixels stay as they were.
TEST_F(TextTest, BlendingFollowsCoverageExactly) {
  const char* text = "Wg8%\xC2\xB0";
  TestScreen cov(220, 60);
  cov.fill(0, 0, 0);
  putString(9, 5, 40, text, 255, 255, 255, &cov.s);
  struct Col {
    int r, g, b;
  } colours[] = {{255, 255, 255}, {0, 0, 0}, {250, 150, 0}, {17, 200, 99}};
  for (const Col& c : colours) {
    TestScreen t(220, 60);
    const uint8_t bg[4] = {0x40, 0x80, 0xC0, 0x77};
    t.fill(bg[0], bg[1], bg[2], bg[3]);
    putString(9, 5, 40, text, c.r, c.g, c.b, &t.s);
    long full = 0, partial = 0, none = 0;
    for (int y = 0; y < 60; ++y)
      for (int x = 0; x < 220; ++x) {
        const unsigned a = cov.px(x, y)[0];
        ASSERT_EQ(cov.px(x, y)[1], a);
        const uint8_t* p = t.px(x, y);
        if (a == 0) {
          ASSERT_EQ(memcmp(p, bg, 4), 0) << "uncovered pixel changed at " << x << "," << y;
          ++none;
          continue;
        }
        const int nw[3] = {c.b, c.g, c.r};
        for (int i = 0; i < 3; ++i)
          ASSERT_EQ(p[i], ((255 - a) * bg[i]) / 255 + (a * nw[i]) / 255) << x << "," << y << " a=" << a;
        ASSERT_EQ(p[3], 0);
        if (a == 255) {
          ASSERT_EQ(p[0], c.b);
          ASSERT_EQ(p[1], c.g);
          ASSERT_EQ(p[2], c.r);
          ++full;
        } else {
          ++partial;
        }
      }
    EXPECT_GT(full, 20);
    EXPECT_GT(partial, 20);
    EXPECT_GT(none, 1000);
  }
}

// The pen starts at x on the baseline y: capitals end on row y, descenders hang below it.
TEST_F(TextTest, GlyphsSitOnTheBaseline) {
  const uint8_t black[4] = {0, 0, 0, 0};
  TestScreen t(200, 100);
  t.fill(0, 0, 0);
  putString(9, 20, 60, "HE", 255, 255, 255, &t.s);
  Ink caps = inkOf(t, black);
  EXPECT_EQ(caps.maxY, 60);
  EXPECT_GE(caps.minX, 20);
  EXPECT_LE(caps.minX, 24);
  EXPECT_GT(caps.minY, 30);
  EXPECT_LT(caps.maxX, 20 + getStringSpace(9, "HE"));

  TestScreen d(200, 100);
  d.fill(0, 0, 0);
  putString(9, 20, 60, "gjpq", 255, 255, 255, &d.s);
  EXPECT_GT(inkOf(d, black).maxY, 63);
}

// Each glyph's bitmap starts at the pen plus the left bearing the font gives it, so a '!' keeps
// its space from the 'r' before it and the dots of "..." sit where the font puts them. FreeType,
// asked directly, is the oracle: the first inked column of the glyph lies bitmap_left + its first
// non-empty bitmap column to the right of the pen (left of it for a negative bearing).
TEST_F(TextTest, GlyphsStartAtThePenPlusTheirLeftBearing) {
  const struct {
    int slot;
    const char* file;
    int size;
  } fonts[] = {{9, kSans, 30}, {0, kBold, 24}, {7, kOblique, 24}, {2, kPt, 22}};
  FT_Library lib = nullptr;
  ASSERT_EQ(FT_Init_FreeType(&lib), 0);
  int checked = 0, bearingSeen = 0;
  for (const auto& f : fonts) {
    FT_Face face = nullptr;
    if (FT_New_Face(lib, f.file, 0, &face) != 0) continue;
    ASSERT_EQ(FT_Set_Pixel_Sizes(face, f.size, f.size), 0);
    for (char c : std::string("!.rjWA1l(")) {
      ASSERT_EQ(FT_Load_Char(face, static_cast<unsigned char>(c), FT_LOAD_RENDER), 0);
      const FT_Bitmap& bm = face->glyph->bitmap;
      int firstCol = -1;
      for (unsigned col = 0; col < bm.width && firstCol < 0; ++col)
        for (unsigned row = 0; row < bm.rows; ++row)
          if (bm.buffer[row * bm.pitch + col] != 0) {
            firstCol = static_cast<int>(col);
            break;
          }
      ASSERT_GE(firstCol, 0) << c;
      const int expected = 50 + face->glyph->bitmap_left + firstCol;
      bearingSeen += face->glyph->bitmap_left != 0;
      for (bool cached : {false, true}) {
        setGlyphCache(cached);
        TestScreen t(120, 60);
        t.fill(0, 0, 0);
        const char text[2] = {c, 0};
        putString(f.slot, 50, 45, text, 255, 255, 255, &t.s);
        const uint8_t black[4] = {0, 0, 0, 0};
        EXPECT_EQ(inkOf(t, black).minX, expected) << "'" << c << "' slot " << f.slot << (cached ? " cached" : "");
        ++checked;
      }
    }
    FT_Done_Face(face);
  }
  FT_Done_FreeType(lib);
  EXPECT_GE(checked, 54);
  EXPECT_GT(bearingSeen, 20) << "the characters chosen must have bearings to tell placements apart";
}

TEST_F(TextTest, MovingThePenMovesThePixels) {
  for (int slotNo : {0, 2, 7, 10}) {
    TestScreen a(300, 80), b(300, 80);
    putString(slotNo, 10, 40, "Vf 7.05 MHz", 200, 100, 50, &a.s);
    putString(slotNo, 23, 47, "Vf 7.05 MHz", 200, 100, 50, &b.s);
    for (int y = 0; y < 80 - 7; ++y)
      ASSERT_EQ(memcmp(a.px(0, y), b.px(13, y + 7), (300 - 13) * 4), 0) << "slot " << slotNo << " row " << y;
  }
}

// Pen continuity: drawing a string in two pieces at the measured width equals drawing it whole.
TEST_F(TextTest, MeasuredWidthPlacesTheNextPiece) {
  for (int slotNo : {0, 1, 2, 6, 8, 9, 10, 11}) {
    TestScreen whole(400, 60), pieces(400, 60);
    putString(slotNo, 3, 40, "SWR 1.5 Temp 42\xC2\xB0", 255, 255, 0, &whole.s);
    putString(slotNo, 3, 40, "SWR 1.5 ", 255, 255, 0, &pieces.s);
    putString(slotNo, 3 + getStringSpace(slotNo, "SWR 1.5 "), 40, "Temp 42\xC2\xB0", 255, 255, 0, &pieces.s);
    EXPECT_EQ(whole.pixels(), pieces.pixels()) << "slot " << slotNo;
  }
}

// Baselines at the bottom row and past it, and pens above and left of the screen: only pixels
// inside the buffer are written, and the visible part matches the same text on a larger screen.
TEST_F(TextTest, TextAtTheEdgesStaysInsideTheBuffer) {
  for (bool cached : {false, true}) {
    setGlyphCache(cached);
    TestScreen small(800, 480);
    small.fill(9, 9, 9);
    putString(9, 100, 479, "Ágjpq|", 255, 255, 255, &small.s);
    putString(9, 300, 490, "gjpq", 255, 255, 255, &small.s);
    putString(9, 500, 5, "ÁHgk", 255, 255, 255, &small.s);
    EXPECT_TRUE(small.guardIntact()) << "written past the end of the buffer";
    TestScreen big(800, 520);
    big.fill(9, 9, 9);
    putString(9, 100, 479, "Ágjpq|", 255, 255, 255, &big.s);
    putString(9, 300, 490, "gjpq", 255, 255, 255, &big.s);
    putString(9, 500, 5, "ÁHgk", 255, 255, 255, &big.s);
    EXPECT_EQ(memcmp(small.work.data(), big.work.data(), small.s.memSize), 0);
    const uint8_t grey[4] = {9, 9, 9, 0};
    Ink k = inkOf(small, grey);
    EXPECT_EQ(k.maxY, 479) << "the rows above the edge are drawn";
    EXPECT_EQ(k.minY, 0) << "the part of the glyphs below the top is drawn";
  }
}

TEST_F(TextTest, EmptyAndOutOfRangeSlotsDoNothing) {
  TestScreen t(100, 50);
  t.fill(4, 5, 6);
  const auto before = t.pixels();
  for (int n : {3, 12, 19, -1, 20, 1000, -1000}) {
    putString(n, 10, 30, "Hello", 255, 255, 255, &t.s);
    EXPECT_EQ(getStringSpace(n, "Hello"), 0) << n;
  }
  EXPECT_EQ(t.pixels(), before);
  putString(9, 10, 30, nullptr, 255, 255, 255, &t.s);
  putString(9, 10, 30, "x", 255, 255, 255, nullptr);
  EXPECT_EQ(getStringSpace(9, nullptr), 0);
}

TEST_F(TextTest, OnlyFourBytePixelsAreWritten) {
  TestScreen t(100, 50, 2);
  std::fill(t.work.begin(), t.work.begin() + t.s.memSize, 0x11);
  const auto before = t.pixels();
  putString(9, 10, 30, "Hello", 255, 255, 255, &t.s);
  EXPECT_EQ(t.pixels(), before);
}

struct LogLines {
  std::vector<std::pair<int, std::string>> lines;
  LogLines() {
    setLogCapture([this](int level, const std::string& m) { lines.emplace_back(level, m); });
  }
  ~LogLines() { setLogCapture(nullptr); }
  std::string joined() const {
    std::string s;
    for (auto& [lv, m] : lines) s += std::to_string(lv) + ":" + m + "\n";
    return s;
  }
};

TEST_F(TextTest, LoadLogsEachStep) {
  LogLines log;
  TTFLoad(kSans, 16, 15);
  EXPECT_EQ(log.joined(), "6:Iinitializing FreeType\n6:Loading face: filename=" + std::string(kSans) +
                              "\n6:Face loaded\n6:Pixel size sat\n");
  EXPECT_GT(getStringSpace(15, "Hi"), 0);
}

TEST_F(TextTest, MissingOrDamagedFontLeavesTheSlotEmpty) {
  char dir[] = "/tmp/kfontXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string garbage = std::string(dir) + "/garbage.ttf", cut = std::string(dir) + "/cut.ttf";
  {
    std::ofstream g(garbage, std::ios::binary);
    for (int i = 0; i < 4000; ++i) g.put(static_cast<char>(i * 7));
    std::ifstream src(kSans, std::ios::binary);
    std::vector<char> head(3000);
    src.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ofstream c(cut, std::ios::binary);
    c.write(head.data(), static_cast<std::streamsize>(head.size()));
  }
  TestScreen t(100, 50);
  const auto before = t.pixels();
  {
    TTFLoad(kSans, 20, 16);
    ASSERT_GT(getStringSpace(16, "Hi"), 0);
    LogLines log;
    TTFLoad((std::string(dir) + "/absent.ttf").c_str(), 20, 16);
    EXPECT_EQ(log.lines.back(), std::make_pair(LOG_ERR, std::string("FreeType: file error")));
    EXPECT_EQ(getStringSpace(16, "Hi"), 0) << "a failed reload must empty the slot";
    putString(16, 10, 30, "Hi", 255, 255, 255, &t.s);
  }
  {
    LogLines log;
    TTFLoad(garbage.c_str(), 20, 17);
    EXPECT_EQ(log.lines.back(), std::make_pair(LOG_ERR, std::string("FreeType: file format not supported")));
    EXPECT_EQ(getStringSpace(17, "Hi"), 0);
    putString(17, 10, 30, "Hi", 255, 255, 255, &t.s);
  }
  {
    LogLines log;
    TTFLoad(cut.c_str(), 20, 18);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back().first, LOG_ERR) << log.joined();
    EXPECT_EQ(getStringSpace(18, "Hi"), 0);
    putString(18, 10, 30, "Hi", 255, 255, 255, &t.s);
  }
  for (int bad : {0, -5}) {
    LogLines log;
    TTFLoad(kSans, bad, 19);
    EXPECT_EQ(log.lines.back(), std::make_pair(LOG_ERR, std::string("Error Setting Pixel Size")));
    EXPECT_EQ(getStringSpace(19, "Hi"), 0);
  }
  {
    LogLines log;
    TTFLoad(kSans, 20, 20);
    TTFLoad(kSans, 20, -1);
    EXPECT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].first, LOG_ERR);
  }
  EXPECT_EQ(t.pixels(), before);
  EXPECT_TRUE(t.guardIntact());
  unlink(garbage.c_str());
  unlink(cut.c_str());
  rmdir(dir);
}

// The cache must never change a pixel: many strings, fonts, sizes, colours and positions, including
// pens that leave the screen on every side, drawn with and without it over the same background.
TEST_F(TextTest, GlyphCacheIsByteIdenticalToFreshRendering) {
  const char* strings[] = {"Loading ... 5",
                           "SWR 1.25",
                           "PWR 1000W",
                           "Temp 45\xC2\xB0"
                           "C",
                           "14.070.000",
                           "ANT 2  ATT 3dB",
                           "Error! Close Program! Restart hw.",
                           "A\xFF"
                           "B",
                           "\xE2\x82",
                           "\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5",
                           "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                           "gjpqy|_[]{}",
                           "\xE2\x82\xAC 12,50",
                           "\xF0\x9F\x98\x80?",
                           "WWWWWWWWWWWWWWWWWWWWWWWWWWWW"};
  const int slots[] = {0, 1, 2, 6, 7, 8, 9, 10, 11};
  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> xs(-60, 820), ys(-20, 510), cs(0, 255);
  TestScreen fresh(800, 480), cached(800, 480);
  for (size_t i = 0; i < fresh.s.memSize; ++i)
    fresh.work[i] = cached.work[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
  int cases = 0;
  for (int round = 0; round < 6; ++round) {
    // The same cache serves many positions: clear it only at the start of the first round.
    if (round == 0) {
      setGlyphCache(false);
      setGlyphCache(true);
    }
    for (const char* s : strings)
      for (int n : slots) {
        const int x = xs(rng), y = ys(rng), r = cs(rng), g = cs(rng), b = cs(rng);
        setGlyphCache(false);
        putString(n, x, y, s, r, g, b, &fresh.s);
        const int w0 = getStringSpace(n, s);
        setGlyphCache(true);
        putString(n, x, y, s, r, g, b, &cached.s);
        ASSERT_EQ(getStringSpace(n, s), w0);
        ++cases;
      }
    ASSERT_EQ(memcmp(fresh.work.data(), cached.work.data(), fresh.work.size()), 0) << "round " << round;
  }
  // Pens far outside the screen, where only the byte offset decides what is written.
  const int far[][2] = {
      {40000, 0},  {-40000, 300}, {5000, 100}, {0, -40000}, {2147483000, -2147483000}, {-2147483000, 2147483000},
      {201, 70000}};
  for (const auto& p : far)
    for (int n : slots) {
      setGlyphCache(false);
      putString(n, p[0], p[1], "Far away gj", 255, 128, 7, &fresh.s);
      setGlyphCache(true);
      putString(n, p[0], p[1], "Far away gj", 255, 128, 7, &cached.s);
    }
  ASSERT_EQ(memcmp(fresh.work.data(), cached.work.data(), fresh.work.size()), 0) << "far-off pens";
  EXPECT_TRUE(fresh.guardIntact());
  EXPECT_GT(cases, 500);
  // Switching the cache on and off again must not keep stale glyphs for a reloaded slot.
  setGlyphCache(true);
  TTFLoad(kSans, 20, 14);
  const int small = getStringSpace(14, "Hello");
  TTFLoad(kSans, 40, 14);
  EXPECT_GT(getStringSpace(14, "Hello"), small + 10);
}

// Several threads draw with the same slots at once; each must get exactly the single-threaded result.
TEST_F(TextTest, ConcurrentDrawingMatchesSerialDrawing) {
  const char* text = "FWD 500W REFL 5W";
  TestScreen ref(400, 60);
  putString(9, 5, 40, text, 255, 255, 255, &ref.s);
  putString(6, 5, 55, text, 0, 255, 0, &ref.s);
  const int refWidth = getStringSpace(9, text);
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::thread toggler([&] {
    bool on = false;
    while (!stop) {
      setGlyphCache(on);
      on = !on;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::thread> drawers;
  for (int t = 0; t < 4; ++t)
    drawers.emplace_back([&] {
      for (int i = 0; i < 30; ++i) {
        TestScreen mine(400, 60);
        putString(9, 5, 40, text, 255, 255, 255, &mine.s);
        putString(6, 5, 55, text, 0, 255, 0, &mine.s);
        if (mine.pixels() != ref.pixels() || getStringSpace(9, text) != refWidth) ++mismatches;
      }
    });
  for (auto& th : drawers) th.join();
  stop = true;
  toggler.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
