// Off-screen RGB canvas with anti-aliased shapes, FreeType text and PNG output for the screen artwork.
#include "canvas.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace artwork {

namespace {

constexpr int kSamples = 8;  // per axis: 64 coverage levels, enough for 1-pixel strokes

double Clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

bool InRoundRect(double x, double y, double x0, double y0, double x1, double y1, double r) {
  if (x < x0 || x >= x1 || y < y0 || y >= y1) return false;
  const double cx = std::clamp(x, x0 + r, x1 - r);
  const double cy = std::clamp(y, y0 + r, y1 - r);
  const double dx = x - cx, dy = y - cy;
  return dx * dx + dy * dy <= r * r;
}

// One code point from UTF-8; malformed input yields U+FFFD and moves on by one byte.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int extra = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + extra >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += extra + 1;
  return cp;
}

}  // namespace

Rgb Mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

Canvas::Canvas() : pixels_(static_cast<std::size_t>(kWidth) * kHeight, Rgb{0, 0, 0}) {}

void Canvas::Paint(const std::function<Rgb(double, double)>& colour_at) { PaintRect(0, 0, kWidth, kHeight, colour_at); }

void Canvas::PaintRect(int x0, int y0, int x1, int y1, const std::function<Rgb(double, double)>& colour_at) {
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, kWidth);
  y1 = std::min(y1, kHeight);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) pixels_[static_cast<std::size_t>(y) * kWidth + x] = colour_at(x + 0.5, y + 0.5);
}

void Canvas::Blend(int x, int y, Rgb c, double a) {
  if (x < 0 || y < 0 || x >= kWidth || y >= kHeight || a <= 0) return;
  Rgb& p = pixels_[static_cast<std::size_t>(y) * kWidth + x];
  p = Mix(p, c, Clamp01(a));
}

void Canvas::Cover(double x0, double y0, double x1, double y1, const std::function<bool(double, double)>& inside, Rgb c,
                   double alpha) {
  CoverShaded(
      x0, y0, x1, y1, inside, [c](double, double) { return c; }, alpha);
}

void Canvas::CoverShaded(double x0, double y0, double x1, double y1, const std::function<bool(double, double)>& inside,
                         const std::function<Rgb(double, double)>& colour_at, double alpha) {
  const int px0 = std::max(0, static_cast<int>(std::floor(x0)) - 1);
  const int py0 = std::max(0, static_cast<int>(std::floor(y0)) - 1);
  const int px1 = std::min(kWidth, static_cast<int>(std::ceil(x1)) + 1);
  const int py1 = std::min(kHeight, static_cast<int>(std::ceil(y1)) + 1);
  for (int y = py0; y < py1; ++y) {
    for (int x = px0; x < px1; ++x) {
      // Pixels whose corners and centre are all inside count as covered; none of the
      // shapes drawn here has a hole smaller than a pixel.
      if (inside(x, y) && inside(x + 1, y) && inside(x, y + 1) && inside(x + 1, y + 1) && inside(x + 0.5, y + 0.5)) {
        Blend(x, y, colour_at(x + 0.5, y + 0.5), alpha);
        continue;
      }
      int hits = 0;
      for (int j = 0; j < kSamples; ++j)
        for (int i = 0; i < kSamples; ++i)
          if (inside(x + (i + 0.5) / kSamples, y + (j + 0.5) / kSamples)) ++hits;
      if (hits) Blend(x, y, colour_at(x + 0.5, y + 0.5), alpha * hits / (kSamples * kSamples));
    }
  }
}

void Canvas::FillRoundRect(double x0, double y0, double x1, double y1, double radius, Rgb c, double alpha) {
  Cover(
      x0, y0, x1, y1, [=](double x, double y) { return InRoundRect(x, y, x0, y0, x1, y1, radius); }, c, alpha);
}

void Canvas::FillRoundRectShaded(double x0, double y0, double x1, double y1, double radius,
                                 const std::function<Rgb(double, double)>& colour_at) {
  CoverShaded(
      x0, y0, x1, y1, [=](double x, double y) { return InRoundRect(x, y, x0, y0, x1, y1, radius); }, colour_at);
}

void Canvas::StrokeRoundRect(double x0, double y0, double x1, double y1, double radius, double width, Rgb c,
                             double alpha) {
  const double ir = std::max(0.0, radius - width);
  Cover(
      x0, y0, x1, y1,
      [=](double x, double y) {
        return InRoundRect(x, y, x0, y0, x1, y1, radius) &&
               !InRoundRect(x, y, x0 + width, y0 + width, x1 - width, y1 - width, ir);
      },
      c, alpha);
}

void Canvas::FillCircle(double cx, double cy, double r, Rgb c, double alpha) {
  Cover(
      cx - r, cy - r, cx + r, cy + r,
      [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; }, c, alpha);
}

void Canvas::Line(double ax, double ay, double bx, double by, double width, Rgb c, double alpha) {
  const double dx = bx - ax, dy = by - ay;
  const double len = std::hypot(dx, dy);
  if (len <= 0) return;
  const double ux = dx / len, uy = dy / len;
  const double hw = width / 2;
  Cover(
      std::min(ax, bx) - hw, std::min(ay, by) - hw, std::max(ax, bx) + hw, std::max(ay, by) + hw,
      [=](double x, double y) {
        const double rx = x - ax, ry = y - ay;
        const double along = rx * ux + ry * uy;
        const double across = -rx * uy + ry * ux;
        return along >= 0 && along <= len && std::abs(across) <= hw;
      },
      c, alpha);
}

std::vector<std::uint8_t> Canvas::Rgba() const {
  std::vector<std::uint8_t> out(pixels_.size() * 4);
  auto to8 = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); };
  for (std::size_t i = 0; i < pixels_.size(); ++i) {
    out[i * 4 + 0] = to8(pixels_[i].r);
    out[i * 4 + 1] = to8(pixels_[i].g);
    out[i * 4 + 2] = to8(pixels_[i].b);
    out[i * 4 + 3] = 255;
  }
  return out;
}

Font::Font(const std::string& path, int pixel_size) : path_(path) {
  if (FT_Init_FreeType(&library_)) {
    library_ = nullptr;
    return;
  }
  if (FT_New_Face(library_, path.c_str(), 0, &face_)) {
    face_ = nullptr;
    return;
  }
  if (FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(pixel_size))) {
    FT_Done_Face(face_);
    face_ = nullptr;
  }
}

Font::~Font() {
  if (face_) FT_Done_Face(face_);
  if (library_) FT_Done_FreeType(library_);
}

long Font::Walk(std::string_view utf8, double tracking, const std::function<void(FT_UInt, long)>& glyph) const {
  long pen = 0;
  FT_UInt previous = 0;
  const long track = std::lround(tracking * 64);
  bool first = true;
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, i);
    const FT_UInt index = FT_Get_Char_Index(face_, cp);
    if (previous && index && FT_HAS_KERNING(face_)) {
      FT_Vector k;
      if (!FT_Get_Kerning(face_, previous, index, FT_KERNING_DEFAULT, &k)) pen += k.x;
    }
    if (!first) pen += track;
    first = false;
    if (FT_Load_Glyph(face_, index, FT_LOAD_DEFAULT)) continue;
    glyph(index, pen);
    pen += face_->glyph->advance.x;
    previous = index;
  }
  return pen;
}

TextInk Font::Measure(std::string_view utf8, double tracking) const {
  TextInk ink{0, 0, 0};
  if (!face_) return ink;
  bool any = false;
  const long pen = Walk(utf8, tracking, [&](FT_UInt, long) {
    if (FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_NORMAL)) return;
    const FT_GlyphSlot g = face_->glyph;
    if (g->bitmap.rows == 0) return;
    const int top = -g->bitmap_top;
    const int bottom = top + static_cast<int>(g->bitmap.rows);
    ink.top = any ? std::min(ink.top, top) : top;
    ink.bottom = any ? std::max(ink.bottom, bottom) : bottom;
    any = true;
  });
  ink.advance = static_cast<int>((pen + 32) / 64);
  return ink;
}

void Font::Draw(Canvas& canvas, double x, int baseline, std::string_view utf8, Rgb c, double alpha,
                double tracking) const {
  if (!face_) return;
  const long origin = std::lround(x * 64);
  Walk(utf8, tracking, [&](FT_UInt, long pen) {
    // Whole-pixel placement keeps the hinted stems crisp.
    const int gx = static_cast<int>((origin + pen + 32) >> 6);
    if (FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_NORMAL)) return;
    const FT_GlyphSlot g = face_->glyph;
    const FT_Bitmap& bm = g->bitmap;
    for (unsigned row = 0; row < bm.rows; ++row) {
      for (unsigned col = 0; col < bm.width; ++col) {
        const unsigned char a = bm.buffer[static_cast<long>(row) * bm.pitch + col];
        if (a)
          canvas.Blend(gx + g->bitmap_left + static_cast<int>(col), baseline - g->bitmap_top + static_cast<int>(row), c,
                       alpha * a / 255.0);
      }
    }
  });
}

void Font::DrawCentred(Canvas& canvas, double cx, int baseline, std::string_view utf8, Rgb c, double alpha,
                       double tracking) const {
  const TextInk ink = Measure(utf8, tracking);
  Draw(canvas, std::round(cx - ink.advance / 2.0), baseline, utf8, c, alpha, tracking);
}

void Font::DrawCentredOn(Canvas& canvas, double cx, double cy, std::string_view utf8, Rgb c, double alpha) const {
  const TextInk ink = Measure(utf8);
  const int baseline = static_cast<int>(std::lround(cy - (ink.top + ink.bottom) / 2.0));
  Draw(canvas, std::round(cx - ink.advance / 2.0), baseline, utf8, c, alpha);
}

bool WritePng(const std::string& path, const std::vector<std::uint8_t>& rgba, int width, int height,
              std::string& error) {
  if (rgba.size() != static_cast<std::size_t>(width) * height * 4) {
    error = "pixel buffer does not match the image size";
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) {
    error = "cannot open " + path + " for writing";
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) {
    error = "cannot create the PNG writer";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    error = "cannot create the PNG header";
    return false;
  }
  std::vector<png_const_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) rows[y] = rgba.data() + static_cast<std::size_t>(y) * width * 4;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = "libpng failed while writing " + path;
    return false;
  }
  png_init_io(png, file.get());
  // Fixed settings and no time stamp: the same pixels always give the same bytes.
  png_set_compression_level(png, 9);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  png_write_rows(png, const_cast<png_bytepp>(rows.data()), static_cast<png_uint_32>(height));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
    error = "write error on " + path;
    return false;
  }
  return true;
}

}  // namespace artwork
