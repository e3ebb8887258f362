// Tests of the PNG screen loader: RGBA images in both targets, every refusal, damaged files, PngSuite.
#include <gtest/gtest.h>

#include <png.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/works.h"
#include "platform/log.h"
#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/png.h"

namespace {

// An in-memory 4-byte screen whose three buffers start filled with distinct patterns.
struct TestScreen : MemoryScreen {
  TestScreen(int w = 800, int h = 480, unsigned ps = 4) : MemoryScreen(w, h, ps) {
    for (size_t i = 0; i < s.memSize; ++i) {
      work[i] = static_cast<uint8_t>(i * 7 + 1);
      back[i] = static_cast<uint8_t>(i * 13 + 5);
      mem[i] = static_cast<uint8_t>(i * 3 + 9);
    }
  }
};

// Writes a PNG of the given type; pixel(x, y, channel) supplies each sample.
template <typename F>
void writePng(const std::string& path, int w, int h, int colorType, int depth, F pixel, bool interlace = false) {
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(fp);
    FAIL() << "libpng could not write " << path;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, w, h, depth, colorType, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < 256; ++i) palette.push_back({static_cast<png_byte>(i), static_cast<png_byte>(255 - i), 7});
    png_set_PLTE(png, info, palette.data(), 256);
  }
  png_write_info(png, info);
  const int channels = colorType == PNG_COLOR_TYPE_RGBA         ? 4
                       : colorType == PNG_COLOR_TYPE_RGB        ? 3
                       : colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                : 1;
  const int bytesPerSample = depth == 16 ? 2 : 1;
  std::vector<std::vector<png_byte>> rows(h, std::vector<png_byte>(static_cast<size_t>(w) * channels * bytesPerSample));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const int v = pixel(x, y, c);
        if (bytesPerSample == 2) {
          rows[y][(x * channels + c) * 2] = static_cast<png_byte>(v);
          rows[y][(x * channels + c) * 2 + 1] = static_cast<png_byte>(v * 3);
        } else {
          rows[y][x * channels + c] = static_cast<png_byte>(v);
        }
      }
  std::vector<png_bytep> ptrs;
  for (auto& r : rows) ptrs.push_back(r.data());
  png_write_image(png, ptrs.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  fclose(fp);
}

int sample(int x, int y, int c) {
  switch (c) {
    case 0: return (x * 3 + y) & 255;
    case 1: return (y * 5 + 17) & 255;
    case 2: return (x ^ y) & 255;
    default: return (x + y * 7) & 255;
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// libpng's high-level reader with no transformations, as the independent reference for RGBA files.
std::vector<png_byte> referenceDecode(const std::string& path, int w, int h) {
  std::vector<png_byte> out;
  // volatile: the value must survive the longjmp back into this frame.
  FILE* volatile fp = fopen(path.c_str(), "rb");
  if (!fp) return out;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(fp);
    return {};
  }
  png_init_io(png, fp);
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_bytepp rows = png_get_rows(png, info);
  if (static_cast<int>(png_get_image_width(png, info)) == w && static_cast<int>(png_get_image_height(png, info)) == h)
    for (int y = 0; y < h; ++y) out.insert(out.end(), rows[y], rows[y] + static_cast<size_t>(w) * 4);
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(fp);
  return out;
}

class PngTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kpngXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd = cwd;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    works = std::make_unique<Works>();
    works->fb = &screen.s;
    setLogCapture([this](int level, const std::string& m) {
      if (level == LOG_ERR) errors.push_back(m);
    });
  }
  void TearDown() override {
    setLogCapture(nullptr);
    ASSERT_EQ(chdir(oldCwd.c_str()), 0);
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(dir.c_str());
  }
  void load(const char* name, int toBackground = 1) {
    snprintf(works->pngName, sizeof works->pngName, "%s", name);
    getPng(works.get(), toBackground);
  }
  // The load was refused with exactly this message and touched none of the three buffers.
  void expectRefused(const char* name, const std::string& message) {
    TestScreen fresh(screen.s.width, screen.s.height, screen.s.pixelSize);
    errors.clear();
    load(name, 1);
    load(name, 0);
    ASSERT_EQ(errors.size(), 2u) << name;
    EXPECT_EQ(errors[0], message);
    EXPECT_EQ(errors[1], message);
    EXPECT_TRUE(screen.back == fresh.back) << name << ": background changed";
    EXPECT_TRUE(screen.work == fresh.work) << name << ": work buffer changed";
    EXPECT_TRUE(screen.mem == fresh.mem) << name << ": screen changed";
  }

  std::string dir, oldCwd;
  TestScreen screen;
  std::unique_ptr<Works> works;
  std::vector<std::string> errors;
};

TEST_F(PngTest, FullScreenImageLoadsIntoTheBackground) {
  writePng("img1.png", 800, 480, PNG_COLOR_TYPE_RGBA, 8, sample);
  const auto work = screen.work, mem = screen.mem;
  load("img1");
  EXPECT_TRUE(errors.empty());
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 800; ++x) {
      const uint8_t* p = &screen.back[y * 3200 + x * 4];
      const uint8_t want[4] = {static_cast<uint8_t>(sample(x, y, 2)), static_cast<uint8_t>(sample(x, y, 1)),
                               static_cast<uint8_t>(sample(x, y, 0)), 0};
      ASSERT_EQ(memcmp(p, want, 4), 0) << x << "," << y;
    }
  EXPECT_TRUE(screen.work == work) << "the background load must leave the work buffer alone";
  EXPECT_TRUE(screen.mem == mem) << "the background load must leave the screen alone";
}

TEST_F(PngTest, LoadToWorkBufferShowsIt) {
  writePng("status.png", 800, 480, PNG_COLOR_TYPE_RGBA, 8, sample);
  const auto back = screen.back;
  load("status", 0);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(screen.work[0], sample(0, 0, 2));
  EXPECT_EQ(screen.work[3200 * 479 + 4 * 799 + 2], sample(799, 479, 0));
  EXPECT_TRUE(screen.mem == screen.work) << "the screen shows the loaded image";
  EXPECT_TRUE(screen.back == back);
}

TEST_F(PngTest, SmallImageCoversOnlyItsTopLeftArea) {
  writePng("m5a.png", 10, 5, PNG_COLOR_TYPE_RGBA, 8, [](int, int, int c) { return c == 3 ? 0 : 200 + c; });
  const auto before = screen.back;
  load("m5a");
  EXPECT_TRUE(errors.empty());
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 800; ++x) {
      const size_t o = static_cast<size_t>(y) * 3200 + x * 4;
      if (x < 10 && y < 5) {
        // Alpha 0 everywhere: a transparent pixel is still written as its colour values.
        ASSERT_EQ(screen.back[o], 202);
        ASSERT_EQ(screen.back[o + 1], 201);
        ASSERT_EQ(screen.back[o + 2], 200);
        ASSERT_EQ(screen.back[o + 3], 0);
      } else {
        ASSERT_EQ(memcmp(&screen.back[o], &before[o], 4), 0) << x << "," << y;
      }
    }
}

TEST_F(PngTest, InterlacedImageLoadsLikeTheSequentialOne) {
  writePng("a.png", 37, 23, PNG_COLOR_TYPE_RGBA, 8, sample, false);
  writePng("b.png", 37, 23, PNG_COLOR_TYPE_RGBA, 8, sample, true);
  load("a");
  const auto a = screen.back;
  TestScreen other;
  works->fb = &other.s;
  load("b");
  EXPECT_TRUE(errors.empty());
  for (int y = 0; y < 23; ++y) EXPECT_EQ(memcmp(&a[y * 3200], &other.back[y * 3200], 37 * 4), 0) << y;
  works->fb = &screen.s;
}

TEST_F(PngTest, MissingFileAndNonPngFilesAreRefused) {
  expectRefused("img3", "img3.png image could not be opened");
  writeFile("text.png", "this is not an image at all, only some words\n");
  expectRefused("text", "text.png image is not a PNG file");
  writeFile("short.png", "\x89PNG");
  expectRefused("short", "short.png image is not a PNG file");
  writeFile("empty.png", "");
  expectRefused("empty", "empty.png image is not a PNG file");
  ASSERT_EQ(mkdir("folder.png", 0755), 0);
  expectRefused("folder", "folder.png image is not a PNG file");
  rmdir("folder.png");
}

TEST_F(PngTest, ImagesLargerThanTheScreenAreRefused) {
  writePng("wide.png", 801, 2, PNG_COLOR_TYPE_RGBA, 8, sample);
  expectRefused("wide", "wide.png image has 801 cols not 800");
  writePng("high.png", 2, 481, PNG_COLOR_TYPE_RGBA, 8, sample);
  expectRefused("high", "high.png image has 481 rows not 480");
  // A header announcing a huge image is refused before any pixel memory is taken.
  std::string big = readFile("wide.png");
  big[16] = 0x00, big[17] = 0x01, big[18] = 0x00, big[19] = 0x00;  // width 65536, header CRC now wrong
  writeFile("huge.png", big);
  TestScreen fresh;
  errors.clear();
  load("huge");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(screen.back == fresh.back);
}

TEST_F(PngTest, OtherColourTypesAndDepthsAreRefused) {
  writePng("rgb.png", 8, 8, PNG_COLOR_TYPE_RGB, 8, sample);
  expectRefused("rgb", "rgb.png image has 8 pixels not 4 or color_type is 2 not 6");
  writePng("deep.png", 8, 8, PNG_COLOR_TYPE_RGBA, 16, sample);
  expectRefused("deep", "deep.png image has 16 pixels not 4 or color_type is 6 not 6");
  writePng("pal.png", 8, 8, PNG_COLOR_TYPE_PALETTE, 8, sample);
  expectRefused("pal", "pal.png image has 8 pixels not 4 or color_type is 3 not 6");
  writePng("grey.png", 8, 8, PNG_COLOR_TYPE_GRAY, 8, sample);
  expectRefused("grey", "grey.png image has 8 pixels not 4 or color_type is 0 not 6");
  writePng("ga.png", 8, 8, PNG_COLOR_TYPE_GRAY_ALPHA, 8, sample);
  expectRefused("ga", "ga.png image has 8 pixels not 4 or color_type is 4 not 6");
}

TEST_F(PngTest, ScreenWithoutFourBytePixelsRefusesEveryImage) {
  TestScreen s16(800, 480, 2);
  works->fb = &s16.s;
  writePng("ok.png", 8, 8, PNG_COLOR_TYPE_RGBA, 8, sample);
  const auto back = s16.back;
  load("ok");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ok.png image has 8 pixels not 2 or color_type is 6 not 6");
  EXPECT_TRUE(s16.back == back);
  works->fb = &screen.s;
}

// A file cut anywhere, or damaged inside its compressed data, never reaches the buffer.
TEST_F(PngTest, TruncatedAndCorruptFilesLeaveTheBufferExactlyAsItWas) {
  std::mt19937 rng(77);
  std::vector<uint8_t> noise(800 * 480 * 4);
  for (auto& v : noise) v = static_cast<uint8_t>(rng() >> 24);
  writePng("full.png", 800, 480, PNG_COLOR_TYPE_RGBA, 8,
           [&](int x, int y, int c) { return noise[(static_cast<size_t>(y) * 800 + x) * 4 + c]; });
  const std::string whole = readFile("full.png");
  ASSERT_GT(whole.size(), 100000u);
  const size_t cuts[] = {8,
                         9,
                         20,
                         33,
                         40,
                         100,
                         whole.size() / 3,
                         whole.size() / 2,
                         whole.size() - 100,
                         whole.size() - 13,
                         whole.size() - 1};
  int readErrors = 0;
  for (size_t cut : cuts) {
    writeFile("cut.png", whole.substr(0, cut));
    TestScreen fresh;
    errors.clear();
    load("cut");
    load("cut", 0);
    ASSERT_EQ(errors.size(), 2u) << "cut at " << cut;
    EXPECT_TRUE(errors[0] == "cut.png error during init_io" || errors[0] == "cut.png error during reading image")
        << errors[0];
    if (errors[0] == "cut.png error during reading image") ++readErrors;
    EXPECT_TRUE(screen.back == fresh.back) << "cut at " << cut;
    EXPECT_TRUE(screen.work == fresh.work) << "cut at " << cut;
    EXPECT_TRUE(screen.mem == fresh.mem) << "cut at " << cut;
  }
  EXPECT_GE(readErrors, 4) << "cuts inside the image data fail while reading it";

  std::string damaged = whole;
  damaged[whole.size() / 2] ^= 0x55;
  writeFile("bad.png", damaged);
  expectRefused("bad", "bad.png error during reading image");
}

// PngSuite: every corrupt file is refused untouched; every valid file is either an 8-bit RGBA image
// that decodes like libpng's own reader, or refused for its type.
TEST_F(PngTest, PngSuite) {
  const std::string suite = std::string(KORVANE_CORPORA) + "/png/pngsuite";
  DIR* d = opendir(suite.c_str());
  if (!d) GTEST_SKIP() << "corpus not found at " << suite;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) names.push_back(n.substr(0, n.size() - 4));
  }
  closedir(d);
  ASSERT_GT(names.size(), 150u);
  ASSERT_EQ(chdir(suite.c_str()), 0);
  int corrupt = 0, loaded = 0, refusedType = 0;
  for (const std::string& n : names) {
    const std::string bytes = readFile(n + ".png");
    TestScreen fresh;
    TestScreen mine;
    works->fb = &mine.s;
    errors.clear();
    load(n.c_str());
    if (n[0] == 'x') {
      ++corrupt;
      EXPECT_EQ(errors.size(), 1u) << n << " was accepted";
      EXPECT_TRUE(mine.back == fresh.back) << n;
      continue;
    }
    const int depth = static_cast<uint8_t>(bytes[24]), type = static_cast<uint8_t>(bytes[25]);
    const int w = (static_cast<uint8_t>(bytes[18]) << 8) | static_cast<uint8_t>(bytes[19]);
    const int h = (static_cast<uint8_t>(bytes[22]) << 8) | static_cast<uint8_t>(bytes[23]);
    if (depth == 8 && type == 6) {
      ++loaded;
      ASSERT_TRUE(errors.empty()) << n << ": " << errors[0];
      std::vector<png_byte> rgba = referenceDecode(n + ".png", w, h);
      ASSERT_EQ(rgba.size(), static_cast<size_t>(w) * h * 4) << n;
      for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 800; ++x) {
          const size_t o = static_cast<size_t>(y) * 3200 + x * 4;
          if (x < w && y < h) {
            const png_byte* s = &rgba[(static_cast<size_t>(y) * w + x) * 4];
            const uint8_t want[4] = {s[2], s[1], s[0], 0};
            ASSERT_EQ(memcmp(&mine.back[o], want, 4), 0) << n << " " << x << "," << y;
          } else {
            ASSERT_EQ(memcmp(&mine.back[o], &fresh.back[o], 4), 0) << n << " " << x << "," << y;
          }
        }
    } else {
      ++refusedType;
      ASSERT_EQ(errors.size(), 1u) << n;
      char want[160];
      snprintf(want, sizeof want, "%s.png image has %d pixels not 4 or color_type is %d not 6", n.c_str(), depth, type);
      EXPECT_EQ(errors[0], want);
      EXPECT_TRUE(mine.back == fresh.back) << n;
    }
  }
  works->fb = &screen.s;
  EXPECT_EQ(corrupt, 14);
  EXPECT_GE(loaded, 5);
  EXPECT_GT(refusedType, 100);
}

}  // namespace
