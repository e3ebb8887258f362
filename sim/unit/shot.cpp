// Screen snapshots: the virtual framebuffer as a person would see it, as a PNG.
#include "sim/unit/shot.h"

#include <png.h>
#include <cstdio>
#include <vector>

#include "platform/optset.h"

namespace sim {

namespace {

bool fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

bool readScreen(const std::string& root, ScreenSnapshot& out, std::string* error) {
  out = ScreenSnapshot{};
  std::string geo;
  if (readWholeFile(root + "/dev/fb0.geometry", geo)) {
    unsigned a, b, c;
    if (sscanf(geo.c_str(), "%u %u %u", &a, &b, &c) == 3) out.width = a, out.height = b, out.bpp = c;
  }
  if (out.bpp != 16 && out.bpp != 32) return fail(error, "unsupported depth");
  const size_t bytes = static_cast<size_t>(out.width) * out.height * (out.bpp / 8);
  if (!readWholeFile(root + "/dev/fb0", out.pixels, bytes)) return fail(error, "no screen file");
  if (out.pixels.size() < bytes) return fail(error, "screen file too short");
  return true;
}

bool writeSnapshotPng(const ScreenSnapshot& snap, const std::string& outPng, std::string* error) {
  const size_t ps = snap.bpp / 8, n = static_cast<size_t>(snap.width) * snap.height;
  if ((ps != 2 && ps != 4) || snap.pixels.size() < n * ps) return fail(error, "not a whole screen");
  std::vector<unsigned char> rgb(n * 3);
  for (size_t i = 0; i < n; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(snap.pixels.data()) + i * ps;
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
  img.width = snap.width;
  img.height = snap.height;
  img.format = PNG_FORMAT_RGB;
  std::string tmp = outPng + ".part";
  if (!png_image_write_to_file(&img, tmp.c_str(), 0, rgb.data(), 0, nullptr)) return fail(error, img.message);
  if (rename(tmp.c_str(), outPng.c_str()) != 0) return fail(error, "rename failed");
  return true;
}

bool writeScreenPng(const std::string& root, const std::string& outPng, std::string* error) {
  ScreenSnapshot snap;
  return readScreen(root, snap, error) && writeSnapshotPng(snap, outPng, error);
}

bool ScreenChanges::offer(const ScreenSnapshot& snap) {
  if (any_ && snap == last_) return false;
  if (!any_ && snap.pixels.find_first_not_of('\0') == std::string::npos) return false;
  char name[64];
  snprintf(name, sizeof name, "-%03d.png", count_);
  if (!writeSnapshotPng(snap, prefix_ + name)) return false;
  last_ = snap;
  any_ = true;
  ++count_;
  return true;
}

bool recordScreenChange(const std::string& root, ScreenChanges& changes) {
  ScreenSnapshot now;
  return readScreen(root, now) && changes.offer(now);
}

}  // namespace sim
