// Screen snapshots: the virtual framebuffer as a person would see it, as a PNG.
#include "sim/unit/shot.h"

#include <cstdio>
#include <png.h>
#include <vector>

#include "platform/optset.h"

namespace sim {

bool writeScreenPng(const std::string& root, const std::string& outPng, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  unsigned w = 800, h = 480, bpp = 32;
  std::string geo;
  if (readWholeFile(root + "/dev/fb0.geometry", geo)) {
    unsigned a, b, c;
    if (sscanf(geo.c_str(), "%u %u %u", &a, &b, &c) == 3) w = a, h = b, bpp = c;
  }
  if (bpp != 16 && bpp != 32) return fail("unsupported depth");
  std::string fb;
  if (!readWholeFile(root + "/dev/fb0", fb, static_cast<size_t>(w) * h * 4)) return fail("no screen file");
  const size_t ps = bpp / 8;
  if (fb.size() < static_cast<size_t>(w) * h * ps) return fail("screen file too short");
  std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(fb.data()) + i * ps;
    unsigned char r, g, b;
    if (ps == 4) {
      b = p[0], g = p[1], r = p[2];
    } else {
      unsigned v = p[0] | (p[1] << 8);
      r = static_cast<unsigned char>(((v >> 11) & 0x1F) << 3);
      g = static_cast<unsigned char>(((v >> 5) & 0x3F) << 2);
      b = static_cast<unsigned char>((v & 0x1F) << 3);
    }
    rgb[i * 3] = r, rgb[i * 3 + 1] = g, rgb[i * 3 + 2] = b;
  }
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = PNG_FORMAT_RGB;
  std::string tmp = outPng + ".part";
  if (!png_image_write_to_file(&img, tmp.c_str(), 0, rgb.data(), 0, nullptr)) return fail(img.message);
  if (rename(tmp.c_str(), outPng.c_str()) != 0) return fail("rename failed");
  return true;
}

}  // namespace sim
