// Off-screen RGB canvas with anti-aliased shapes, FreeType text and PNG output for the screen artwork.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace artwork {

struct Rgb {
  double r;
  double g;
  double b;
};

Rgb Mix(Rgb a, Rgb b, double t);  // a at t = 0, b at t = 1

// Continuous coordinates: pixel (x, y) covers [x, x+1) x [y, y+1).
class Canvas {
 public:
  static constexpr int kWidth = 800;
  static constexpr int kHeight = 480;

  Canvas();

  // Paint every pixel from a function of its centre.
  void Paint(const std::function<Rgb(double x, double y)>& colour_at);
  void PaintRect(int x0, int y0, int x1, int y1, const std::function<Rgb(double x, double y)>& colour_at);

  // Blend colour over one pixel with opacity a (0..1); pixels off the canvas are ignored.
  void Blend(int x, int y, Rgb c, double a);

  // Fill the shape given by an inside test, with 8 x 8 samples per pixel inside the box.
  void Cover(double x0, double y0, double x1, double y1, const std::function<bool(double, double)>& inside, Rgb c,
             double alpha = 1.0);

  // Same, with the colour taken from a function of the pixel centre.
  void CoverShaded(double x0, double y0, double x1, double y1, const std::function<bool(double, double)>& inside,
                   const std::function<Rgb(double, double)>& colour_at, double alpha = 1.0);

  void FillRoundRect(double x0, double y0, double x1, double y1, double radius, Rgb c, double alpha = 1.0);
  void FillRoundRectShaded(double x0, double y0, double x1, double y1, double radius,
                           const std::function<Rgb(double, double)>& colour_at);
  // An outline of the given width inside the rounded rectangle's edge.
  void StrokeRoundRect(double x0, double y0, double x1, double y1, double radius, double width, Rgb c,
                       double alpha = 1.0);
  void FillCircle(double cx, double cy, double r, Rgb c, double alpha = 1.0);
  // A straight stroke with square-cut ends.
  void Line(double ax, double ay, double bx, double by, double width, Rgb c, double alpha = 1.0);

  Rgb At(int x, int y) const { return pixels_[static_cast<std::size_t>(y) * kWidth + x]; }

  // 8-bit RGBA rows, alpha 255.
  std::vector<std::uint8_t> Rgba() const;

 private:
  std::vector<Rgb> pixels_;
};

struct TextInk {
  int advance;  // pen advance in pixels
  int top;      // highest inked row, relative to the baseline (negative is above)
  int bottom;   // lowest inked row + 1, relative to the baseline
};

// A TrueType face at one pixel size.
class Font {
 public:
  Font(const std::string& path, int pixel_size);
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  bool ok() const { return face_ != nullptr; }
  const std::string& path() const { return path_; }

  // tracking adds that many pixels after every glyph but the last.
  TextInk Measure(std::string_view utf8, double tracking = 0) const;
  void Draw(Canvas& canvas, double x, int baseline, std::string_view utf8, Rgb c, double alpha = 1.0,
            double tracking = 0) const;
  void DrawCentred(Canvas& canvas, double cx, int baseline, std::string_view utf8, Rgb c, double alpha = 1.0,
                   double tracking = 0) const;
  // Centre the ink (not the em box) on a point: for numerals around a scale.
  void DrawCentredOn(Canvas& canvas, double cx, double cy, std::string_view utf8, Rgb c, double alpha = 1.0) const;

 private:
  // Calls glyph(code point, pen x in 26.6) for each character, returns the final pen.
  long Walk(std::string_view utf8, double tracking, const std::function<void(FT_UInt, long)>& glyph) const;

  std::string path_;
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
};

// Write 800 x 480 RGBA as an 8-bit colour-type-6 PNG; false with a message on failure.
bool WritePng(const std::string& path, const std::vector<std::uint8_t>& rgba, int width, int height,
              std::string& error);

}  // namespace artwork
