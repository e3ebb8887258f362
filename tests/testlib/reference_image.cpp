// Reference images: reading, writing and comparing them, and saying where they differ.
#include "tests/testlib/reference_image.h"

#include <png.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace testlib {

RgbImage imageOfBuffer(const uint8_t* buf, int width, int height, unsigned lineSize) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.px.resize(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = buf + static_cast<size_t>(y) * lineSize + static_cast<size_t>(x) * 4;
      uint8_t* q = img.px.data() + (static_cast<size_t>(y) * width + x) * 3;
      q[0] = p[2];
      q[1] = p[1];
      q[2] = p[0];
    }
  return img;
}

RgbImage readPngImage(const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  RgbImage img;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return img;
  png.format = PNG_FORMAT_RGB;
  img.px.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, img.px.data(), 0, nullptr)) {
    img.px.clear();
    return img;
  }
  img.width = static_cast<int>(png.width);
  img.height = static_cast<int>(png.height);
  return img;
}

bool writePngImage(const std::string& path, const RgbImage& img) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(img.width);
  png.height = static_cast<png_uint_32>(img.height);
  png.format = PNG_FORMAT_RGB;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  return png_image_write_to_file(&png, path.c_str(), 0, img.px.data(), 0, nullptr) != 0;
}

bool updatingReferenceImages() {
  const char* v = std::getenv("KORVANE_UPDATE_IMAGES");
  return v && std::strcmp(v, "1") == 0;
}

std::string compareWithReference(const RgbImage& img, const std::string& referencePath,
                                 const std::vector<NamedRegion>& regions) {
  const std::string name = std::filesystem::path(referencePath).stem().string();
  if (img.empty()) return "no picture to compare with " + name;
  if (updatingReferenceImages()) {
    if (!writePngImage(referencePath, img)) return "cannot write " + referencePath;
    return "";
  }
  const RgbImage ref = readPngImage(referencePath);
  std::string why;
  if (ref.empty()) {
    why = "no reference image " + referencePath + " (KORVANE_UPDATE_IMAGES=1 writes it)";
  } else if (ref.width != img.width || ref.height != img.height) {
    why = name + ": the picture is " + std::to_string(img.width) + "x" + std::to_string(img.height) +
          ", the reference " + std::to_string(ref.width) + "x" + std::to_string(ref.height);
  } else {
    long count = 0, outside = 0;
    int x0 = img.width, y0 = img.height, x1 = -1, y1 = -1;
    std::vector<long> inRegion(regions.size(), 0);
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) {
        const size_t i = (static_cast<size_t>(y) * img.width + x) * 3;
        if (memcmp(&img.px[i], &ref.px[i], 3) == 0) continue;
        ++count;
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        bool named = false;
        for (size_t r = 0; r < regions.size(); ++r)
          if (x >= regions[r].x0 && x < regions[r].x1 && y >= regions[r].y0 && y < regions[r].y1) {
            ++inRegion[r];
            named = true;
          }
        outside += !named;
      }
    if (count == 0) return "";
    why = name + ": " + std::to_string(count) + " pixels differ, within x " + std::to_string(x0) + "-" +
          std::to_string(x1) + ", y " + std::to_string(y0) + "-" + std::to_string(y1) + ";";
    for (size_t r = 0; r < regions.size(); ++r)
      if (inRegion[r]) why += " " + std::to_string(inRegion[r]) + " in '" + regions[r].name + "',";
    if (outside) why += " " + std::to_string(outside) + " outside the named regions,";
    why.back() = '.';
  }
  const std::string actual = name + "-actual.png";
  if (writePngImage(actual, img))
    why += " The picture got is " + (std::filesystem::current_path() / actual).string() + ".";
  why += " If the change is meant, rerun with KORVANE_UPDATE_IMAGES=1 and look at the new image.";
  return why;
}

}  // namespace testlib
