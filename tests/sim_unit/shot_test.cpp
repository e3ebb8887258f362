// The simulator's screenshots: one picture per distinct screen, each the very read that was compared.
#include <gtest/gtest.h>

#include <png.h>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/unit/shot.h"
#include "tests/testlib/temp_root.h"

namespace {

// A screen of the given depth filled with one pixel value, as the unit would leave it in dev/fb0.
std::string screenOf(unsigned w, unsigned h, const std::string& pixel) {
  std::string s;
  for (unsigned i = 0; i < w * h; ++i) s += pixel;
  return s;
}

std::vector<unsigned char> pngRgb(const std::string& path) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) return {};
  img.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> px(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) return {};
  return px;
}

std::vector<unsigned char> rgbOf(unsigned w, unsigned h, unsigned char r, unsigned char g, unsigned char b) {
  std::vector<unsigned char> px;
  for (unsigned i = 0; i < w * h; ++i) px.insert(px.end(), {r, g, b});
  return px;
}

// The screen goes black (skipped), red, red, green, red, red; on a 16-bit screen then blue. Each new
// content gives exactly one picture, and each picture holds the content read when the change was seen.
TEST(ScreenChanges, EachPictureIsTheReadThatSawTheChange) {
  testlib::TempRoot root;
  const std::string prefix = root.path() + "/shot";
  sim::ScreenChanges changes(prefix);
  root.write("/dev/fb0.geometry", "8 4 32\n");
  const std::string red = screenOf(8, 4, std::string("\x00\x00\xFF\x00", 4)),
                    green = screenOf(8, 4, std::string("\x00\xFF\x00\x00", 4));
  const struct {
    std::string screen;
    bool written;
  } steps[] = {{screenOf(8, 4, std::string(4, '\0')), false},
               {red, true},
               {red, false},
               {green, true},
               {red, true},
               {red, false}};
  for (const auto& s : steps) {
    root.write("/dev/fb0", s.screen);
    EXPECT_EQ(sim::recordScreenChange(root.path(), changes), s.written);
  }
  root.write("/dev/fb0.geometry", "8 4 16\n");
  root.write("/dev/fb0", screenOf(8, 4, std::string("\x1F\x00", 2)));  // RGB565 blue
  EXPECT_TRUE(sim::recordScreenChange(root.path(), changes));
  ASSERT_EQ(changes.count(), 4);
  EXPECT_EQ(pngRgb(prefix + "-000.png"), rgbOf(8, 4, 255, 0, 0));
  EXPECT_EQ(pngRgb(prefix + "-001.png"), rgbOf(8, 4, 0, 255, 0));
  EXPECT_EQ(pngRgb(prefix + "-002.png"), rgbOf(8, 4, 255, 0, 0));
  EXPECT_EQ(pngRgb(prefix + "-003.png"), rgbOf(8, 4, 0, 0, 248));
  EXPECT_FALSE(std::filesystem::exists(prefix + "-004.png"));
}

// What is written is the snapshot in hand: the screen changing after the read does not leak into
// the picture (it used to be read a second time to be written).
TEST(ScreenChanges, PictureIsTheSnapshotNotALaterRead) {
  testlib::TempRoot root;
  root.write("/dev/fb0.geometry", "8 4 32\n");
  root.write("/dev/fb0", screenOf(8, 4, std::string("\x00\x00\xFF\x00", 4)));
  sim::ScreenSnapshot snap;
  ASSERT_TRUE(sim::readScreen(root.path(), snap));
  root.write("/dev/fb0", screenOf(8, 4, std::string("\x00\xFF\x00\x00", 4)));
  sim::ScreenChanges changes(root.path() + "/shot");
  ASSERT_TRUE(changes.offer(snap));
  EXPECT_EQ(pngRgb(root.path() + "/shot-000.png"), rgbOf(8, 4, 255, 0, 0));
  EXPECT_FALSE(changes.offer(snap)) << "the same screen twice";
}

}  // namespace
