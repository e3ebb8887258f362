// Reference images: composed screens kept in the tree and compared pixel for pixel.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testlib {

// An RGB picture, rows of r, g, b bytes.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
  bool empty() const { return px.empty(); }
};

// A part of the screen with a name, for telling where a difference lies; x1 and y1 are excluded.
struct NamedRegion {
  std::string name;
  int x0, y0, x1, y1;
};

// A screen buffer in the 4-byte layout (b, g, r, unused) as a picture.
RgbImage imageOfBuffer(const uint8_t* buf, int width, int height, unsigned lineSize);
RgbImage readPngImage(const std::string& path);
bool writePngImage(const std::string& path, const RgbImage& img);

// KORVANE_UPDATE_IMAGES=1: the comparisons rewrite their reference images instead of checking them.
bool updatingReferenceImages();

// Empty when img equals the reference image at referencePath pixel for pixel. Otherwise it says how
// many pixels differ, their bounding box and how many fall in each named region, and leaves the
// picture it got as <name>-actual.png in the working directory. While updating, the reference is
// (re)written and the answer is empty.
std::string compareWithReference(const RgbImage& img, const std::string& referencePath,
                                 const std::vector<NamedRegion>& regions);

}  // namespace testlib
