// Checks the committed background screens: the format the loader accepts, and scales that match the needles.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "ui/meter_geometry.h"
#include "tests/testlib/emulator.h"

namespace mg = meter_geometry;

namespace {

const char* const kScreenNames[] = {"start", "start120", "img1", "img1b", "img3", "img3b", "m5a", "status", "statusB"};

struct Image {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bit_depth = 0;
  int colour_type = 0;
  int interlace = 0;
  std::vector<png_byte> rgba;  // only filled for 8-bit RGBA

  struct Px {
    int r, g, b, a;
  };
  Px At(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 4;
    return {rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]};
  }
  double Luma(int x, int y) const {
    const Px p = At(x, y);
    return 0.299 * p.r + 0.587 * p.g + 0.114 * p.b;
  }
};

std::optional<Image> ReadPng(const std::filesystem::path& path, std::string& error) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    error = "cannot open " + path.string();
    return std::nullopt;
  }
  png_byte signature[8];
  if (std::fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8)) {
    error = path.string() + " is not a PNG file";
    return std::nullopt;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    error = "libpng set-up failed";
    return std::nullopt;
  }
  Image img;
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    error = "libpng could not decode " + path.string();
    return std::nullopt;
  }
  png_init_io(png, file.get());
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  png_get_IHDR(png, info, &img.width, &img.height, &img.bit_depth, &img.colour_type, &img.interlace, nullptr, nullptr);
  if (img.bit_depth == 8 && img.colour_type == PNG_COLOR_TYPE_RGB_ALPHA && img.width <= 4096 && img.height <= 4096) {
    img.rgba.resize(static_cast<std::size_t>(img.width) * img.height * 4);
    rows.resize(img.height);
    for (png_uint_32 y = 0; y < img.height; ++y)
      rows[y] = img.rgba.data() + static_cast<std::size_t>(y) * img.width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return img;
}

std::filesystem::path ScreenPath(const std::string& name) {
  return std::filesystem::path(KORVANE_SCREENS_DIR) / (name + ".png");
}

const Image& Screen(const std::string& name) {
  static std::map<std::string, Image> cache;
  auto it = cache.find(name);
  if (it == cache.end()) {
    std::string error;
    auto img = ReadPng(ScreenPath(name), error);
    if (!img || img->rgba.empty()) {
      ADD_FAILURE() << name << ": " << error;
      img = Image{};
    }
    it = cache.emplace(name, std::move(*img)).first;
  }
  return it->second;
}

// The pixel the scale artwork puts under a point of the needle.
double LumaOnNeedle(const Image& img, mg::Pivot pivot, double value, double full_scale, double fraction) {
  const mg::Point p = mg::NeedlePoint(pivot, mg::NeedleAngle(value, full_scale), fraction);
  return img.Luma(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
}

// Printed ink on the ivory faces is dark; the face itself is light.
constexpr double kInk = 110;
constexpr double kFace = 190;

// Fraction of the needle at which only the longest (numbered) ticks are printed, and
// one inside the scale line where every tick, down to the smallest, is printed.
constexpr double kMajorOnly = 0.90;
constexpr double kAllTicks = 0.975;

TEST(ScreenFiles, AllNineAre800x480EightBitRgba) {
  for (const char* name : kScreenNames) {
    SCOPED_TRACE(name);
    std::string error;
    const auto img = ReadPng(ScreenPath(name), error);
    ASSERT_TRUE(img.has_value()) << error;
    EXPECT_EQ(img->width, 800u);
    EXPECT_EQ(img->height, 480u);
    EXPECT_EQ(img->bit_depth, 8);
    EXPECT_EQ(img->colour_type, PNG_COLOR_TYPE_RGB_ALPHA);
    EXPECT_EQ(img->interlace, PNG_INTERLACE_NONE);
    ASSERT_FALSE(img->rgba.empty());
    // The loader drops alpha, so a see-through pixel would show its bare colour; keep all opaque.
    bool opaque = true;
    for (std::size_t i = 3; i < img->rgba.size(); i += 4) opaque = opaque && img->rgba[i] == 255;
    EXPECT_TRUE(opaque);
  }
}

TEST(MeterGeometry, NeedleEndsAndSwrPositions) {
  // Zero leans left, half scale stands upright, full scale leans right, symmetrically.
  EXPECT_NEAR(mg::NeedleAngle(0, 60), 0.24 * std::numbers::pi, 1e-12);
  EXPECT_NEAR(mg::NeedleAngle(30, 60), 0.0, 1e-12);
  EXPECT_NEAR(mg::NeedleAngle(120, 120), -0.24 * std::numbers::pi, 1e-12);
  const mg::Point up = mg::NeedleTip(mg::kPivotLeft, 0.0);
  EXPECT_NEAR(up.x, 210, 1e-9);
  EXPECT_NEAR(up.y, 260 - 185, 1e-9);
  const double a = mg::NeedleAngle(0, 60);
  const mg::Point left = mg::NeedleTip(mg::kPivotRight, a);
  EXPECT_NEAR(left.x, 590 - 215 * std::sin(a), 1e-9);
  EXPECT_NEAR(left.y, 260 - 185 * std::cos(a), 1e-9);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(0.5), 0);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(1.0), 0);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(1.75), 15.5);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(2.5), 25);
  EXPECT_NEAR(mg::SwrScalePosition(50), 54.44, 0.01);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(100), 60);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(1e9), 60);
  EXPECT_DOUBLE_EQ(mg::SwrScalePosition(std::nan("")), 0);
}

struct PowerFace {
  const char* screen;
  mg::Pivot pivot;
  int full_scale;
};

class PowerScaleTicks : public ::testing::TestWithParam<PowerFace> {};

TEST_P(PowerScaleTicks, TicksSitWhereTheNeedlePoints) {
  const PowerFace f = GetParam();
  const Image& img = Screen(f.screen);
  ASSERT_FALSE(img.rgba.empty());
  const int unit = f.full_scale / 60;  // one minor division: 1 W on 60 W, 2 W on 120 W
  // Numbered ticks every ten divisions, zero and full scale included.
  for (int v = 0; v <= f.full_scale; v += 10 * unit) {
    SCOPED_TRACE(v);
    EXPECT_LT(LumaOnNeedle(img, f.pivot, v, f.full_scale, kMajorOnly), kInk);
    EXPECT_LT(LumaOnNeedle(img, f.pivot, v, f.full_scale, kAllTicks), kInk);
  }
  // Between the numbered ticks nothing reaches that far in.
  for (int v = 5 * unit; v < f.full_scale; v += 10 * unit) {
    SCOPED_TRACE(v);
    EXPECT_GT(LumaOnNeedle(img, f.pivot, v, f.full_scale, kMajorOnly), kFace);
  }
  // Every division has its tick at the needle's angle, and clear face half-way between.
  for (int step = 0; step <= 60; ++step) {
    SCOPED_TRACE(step);
    EXPECT_LT(LumaOnNeedle(img, f.pivot, step * unit, f.full_scale, kAllTicks), kInk + 40);
    if (step < 60) {
      EXPECT_GT(LumaOnNeedle(img, f.pivot, (step + 0.5) * unit, f.full_scale, kAllTicks), kFace);
    }
  }
  // The needle's last pixel, as the line drawing truncates it, touches the scale line.
  for (int v : {0, f.full_scale / 2, f.full_scale}) {
    SCOPED_TRACE(v);
    const mg::Point tip = mg::NeedleTip(f.pivot, mg::NeedleAngle(v, f.full_scale));
    double darkest = 255;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        darkest = std::min(darkest, img.Luma(static_cast<int>(tip.x) + dx, static_cast<int>(tip.y) + dy));
    EXPECT_LT(darkest, kInk);
  }
}

INSTANTIATE_TEST_SUITE_P(Faces, PowerScaleTicks,
                         ::testing::Values(PowerFace{"img1", mg::kPivotLeft, mg::kFullScaleFwd},
                                           PowerFace{"img1", mg::kPivotRight, mg::kFullScaleRefl},
                                           PowerFace{"img3", mg::kPivotLeft, mg::kFullScaleFwd},
                                           PowerFace{"img1b", mg::kPivotLeft, mg::kFullScaleFwd120},
                                           PowerFace{"img1b", mg::kPivotRight, mg::kFullScaleRefl},
                                           PowerFace{"img3b", mg::kPivotLeft, mg::kFullScaleFwd120}),
                         [](const ::testing::TestParamInfo<PowerFace>& info) {
                           return std::string(info.param.screen) +
                                  (info.param.pivot.x == mg::kPivotLeft.x ? "_left" : "_right");
                         });

TEST(SwrScaleTicks, NumberedSwrValuesSitWhereTheNeedlePoints) {
  for (const char* name : {"img3", "img3b"}) {
    SCOPED_TRACE(name);
    const Image& img = Screen(name);
    ASSERT_FALSE(img.rgba.empty());
    const double s = mg::kFullScaleSwr;
    for (double swr : {1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 10.0, 100.0}) {
      SCOPED_TRACE(swr);
      EXPECT_LT(LumaOnNeedle(img, mg::kPivotRight, mg::SwrScalePosition(swr), s, kMajorOnly), kInk);
    }
    // Half-way between numbered values the face is clear that far in.
    for (double swr : {1.25, 1.75, 2.5, 3.5, 4.5, 7.0}) {
      SCOPED_TRACE(swr);
      EXPECT_GT(LumaOnNeedle(img, mg::kPivotRight, mg::SwrScalePosition(swr), s, kMajorOnly), kFace);
    }
    // Red from SWR 3 up, just outside the scale line; no colour at a good match.
    const mg::Point bad = mg::NeedlePoint(mg::kPivotRight, mg::NeedleAngle(mg::SwrScalePosition(6.5), s), 1.024);
    const auto red = img.At(static_cast<int>(std::lround(bad.x)), static_cast<int>(std::lround(bad.y)));
    EXPECT_GT(red.r - red.g, 80);
    const mg::Point good = mg::NeedlePoint(mg::kPivotRight, mg::NeedleAngle(mg::SwrScalePosition(1.25), s), 1.024);
    const auto plain = img.At(static_cast<int>(std::lround(good.x)), static_cast<int>(std::lround(good.y)));
    EXPECT_LT(std::abs(plain.r - plain.g), 30);
  }
}

TEST(SwrScaleTicks, PowerScaleIsNotOnTheSwrScreen) {
  // The right face of img3 must not be a power scale: 30 W would stand where SWR 3 stands,
  // but 10 W (position 10) falls between SWR 1.5 and 2.
  const Image& img = Screen("img3");
  ASSERT_FALSE(img.rgba.empty());
  EXPECT_GT(LumaOnNeedle(img, mg::kPivotRight, 10, mg::kFullScaleSwr, kMajorOnly), kFace);
}

double MaxLuma(const Image& img, int x0, int y0, int x1, int y1) {
  double m = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) m = std::max(m, img.Luma(x, y));
  return m;
}

double MinLuma(const Image& img, int x0, int y0, int x1, int y1) {
  double m = 255;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) m = std::min(m, img.Luma(x, y));
  return m;
}

TEST(ScreenRegions, BlackLabelsFallOnLightFace) {
  for (const char* name : {"img1", "img1b", "img3", "img3b"}) {
    SCOPED_TRACE(name);
    const Image& img = Screen(name);
    ASSERT_FALSE(img.rgba.empty());
    // "FORWARD" at (155, 160) and its reading at (180, 180); the right meter's label and
    // reading from x 535; the frequency at (339, 52): all drawn in black.
    EXPECT_GT(MinLuma(img, 150, 142, 290, 186), kFace);
    EXPECT_GT(MinLuma(img, 530, 142, 680, 186), kFace);
    EXPECT_GT(MinLuma(img, 335, 34, 495, 58), 170);
  }
}

TEST(ScreenRegions, WhiteAndColouredTextFallsOnDark) {
  for (const char* name : {"img1", "img1b", "img3", "img3b", "m5a"}) {
    SCOPED_TRACE(name);
    const Image& img = Screen(name);
    ASSERT_FALSE(img.rgba.empty());
    EXPECT_LT(MaxLuma(img, 560, 3, 782, 21), 60);   // date and time, right-aligned to 780
    EXPECT_LT(MaxLuma(img, 0, 278, 800, 420), 60);  // status strips, message line, error tiles
  }
  const Image& plot = Screen("m5a");
  EXPECT_LT(MaxLuma(plot, 70, 60, 759, 231), 40);  // spectrum field under the grey grid
  for (const char* name : {"status", "statusB"}) {
    SCOPED_TRACE(name);
    const Image& img = Screen(name);
    ASSERT_FALSE(img.rgba.empty());
    EXPECT_LT(MaxLuma(img, 0, 80, 800, 106), 60);   // column header of the band table
    EXPECT_LT(MaxLuma(img, 0, 110, 800, 358), 60);  // rows of white and orange text
  }
  for (const char* name : {"start", "start120"}) {
    SCOPED_TRACE(name);
    const Image& img = Screen(name);
    ASSERT_FALSE(img.rgba.empty());
    EXPECT_LT(MaxLuma(img, 300, 360, 800, 420), 60);  // loading countdown and closing message
    EXPECT_LT(MaxLuma(img, 130, 272, 800, 306), 60);  // device error line at (130, 300)
    EXPECT_GT(MaxLuma(img, 150, 80, 650, 170), 200);  // the name itself is there and bright
  }
}

TEST(ScreenRegions, StartScreensDifferOnlyInTheModelLine) {
  const Image& a = Screen("start");
  const Image& b = Screen("start120");
  ASSERT_FALSE(a.rgba.empty());
  ASSERT_FALSE(b.rgba.empty());
  int outside = 0, inside = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 800; ++x) {
      const bool differs = a.Luma(x, y) != b.Luma(x, y);
      if (y >= 230 && y < 262)
        inside += differs;
      else
        outside += differs;
    }
  EXPECT_EQ(outside, 0);
  EXPECT_GT(inside, 50);
}

#ifdef KORVANE_DRAW_TOOL
std::vector<char> Bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DrawTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("korvane-screens-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static int RunWith(const std::string& args) {
    return std::system(
        (testlib::emulatorCommand() + "\"" + KORVANE_DRAW_TOOL + "\" " + args + " >/dev/null 2>&1").c_str());
  }
  static int Run(const std::filesystem::path& out) { return RunWith("\"" + out.string() + "\""); }
  std::filesystem::path dir_;
};

TEST_F(DrawTool, RegeneratedScreensMatchTheCommittedOnes) {
  ASSERT_EQ(Run(dir_ / "a"), 0);
  ASSERT_EQ(Run(dir_ / "b"), 0);
  for (const char* name : kScreenNames) {
    SCOPED_TRACE(name);
    const std::string file = std::string(name) + ".png";
    // Same program, same fonts: the same bytes.
    EXPECT_EQ(Bytes(dir_ / "a" / file), Bytes(dir_ / "b" / file));
    // Against the committed file, allow for another FreeType or zlib: a few pixels of
    // glyph edges may differ, a moved scale or a changed layout may not.
    std::string error;
    const auto fresh = ReadPng(dir_ / "a" / file, error);
    ASSERT_TRUE(fresh.has_value()) << error;
    const Image& committed = Screen(name);
    ASSERT_EQ(fresh->rgba.size(), committed.rgba.size());
    std::size_t off = 0;
    for (std::size_t i = 0; i < fresh->rgba.size(); i += 4) {
      int d = 0;
      for (int k = 0; k < 3; ++k) d = std::max(d, std::abs(int(fresh->rgba[i + k]) - int(committed.rgba[i + k])));
      off += d > 24;
    }
    EXPECT_LT(off, 400u) << "regenerate with korvane-draw-screens assets/screens";
  }
}

TEST_F(DrawTool, RefusesBadCommandLines) {
  EXPECT_NE(RunWith(""), 0);
  EXPECT_NE(RunWith("a b c"), 0);
  EXPECT_NE(RunWith("--preview"), 0);
  // A font folder without the fonts: a message, a failure and no screens.
  std::filesystem::create_directories(dir_ / "nofonts");
  EXPECT_NE(RunWith("\"" + (dir_ / "out").string() + "\" \"" + (dir_ / "nofonts").string() + "\""), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "img1.png"));
}
#endif

}  // namespace
