// The nine full-screen backgrounds of the unit's display, drawn from code.
#include "screens.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

#include "ui/meter_geometry.h"

namespace artwork {

namespace mg = meter_geometry;

namespace {

// One palette for every screen. The meter faces are light because the program writes
// their labels and readings in black; everything around them is dark for the white,
// blue, green and orange texts the program puts there.
namespace colour {
constexpr Rgb kScreenTop{21, 26, 33};
constexpr Rgb kScreenBottom{10, 12, 16};
constexpr Rgb kStrip{15, 18, 23};
constexpr Rgb kHairline{44, 51, 61};
constexpr Rgb kBezel{33, 37, 43};
constexpr Rgb kBezelLight{86, 93, 104};
constexpr Rgb kFaceTop{247, 242, 229};
constexpr Rgb kFaceBottom{232, 224, 204};
constexpr Rgb kInk{28, 27, 25};
constexpr Rgb kInkSoft{120, 110, 94};
constexpr Rgb kRedZone{196, 46, 36};
constexpr Rgb kAmberZone{224, 150, 40};
constexpr Rgb kAmber{236, 150, 28};
constexpr Rgb kMuted{124, 135, 149};
constexpr Rgb kIvory{240, 234, 220};
constexpr Rgb kKeyBed{22, 24, 28};
constexpr Rgb kPlotFace{12, 16, 22};
constexpr Rgb kPlotField{5, 8, 12};
}  // namespace colour

// Screen regions the program fills or writes into.
constexpr int kTopStripBottom = 25;  // date line, white, baseline 17
constexpr int kWindowTop = 27;       // meter or plot window
constexpr int kWindowBottom = 277;   // status strips start on row 278
constexpr int kKeyBarTop = 420;      // six-key bar, rows 420..479

double Smooth(double a, double b, double v) {
  const double t = std::clamp((v - a) / (b - a), 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

struct FontSet {
  std::unique_ptr<Font> numeral;    // scale numerals
  std::unique_ptr<Font> numeralSm;  // crowded numerals (SWR 1.5)
  std::unique_ptr<Font> symbol;     // the infinity sign, which DejaVu draws small
  std::unique_ptr<Font> legend;     // small printed legends on the faces
  std::unique_ptr<Font> brand;      // top-strip name
  std::unique_ptr<Font> title;      // page titles
  std::unique_ptr<Font> ghost;      // the unlit TX lamp, same face and size the program lights it with
  std::unique_ptr<Font> wordmark;   // start screen name
  std::unique_ptr<Font> subtitle;   // start screen lines
  std::unique_ptr<Font> model;      // start screen model line
};

// ---------------------------------------------------------------- common chrome

void PaintScreenBackground(Canvas& c) {
  c.Paint([](double x, double y) {
    const double t = Smooth(0, 480, y);
    Rgb base = Mix(colour::kScreenTop, colour::kScreenBottom, t);
    // A faint vignette so the edges sit back.
    const double dx = (x - 400) / 400, dy = (y - 240) / 240;
    const double v = 1.0 - 0.10 * std::min(1.0, dx * dx + dy * dy);
    return Rgb{base.r * v, base.g * v, base.b * v};
  });
}

void PaintTopStrip(Canvas& c, const FontSet& f) {
  c.PaintRect(0, 0, Canvas::kWidth, kTopStripBottom, [](double, double) { return colour::kStrip; });
  c.PaintRect(0, kTopStripBottom - 1, Canvas::kWidth, kTopStripBottom,
              [](double, double) { return colour::kHairline; });
  f.brand->Draw(c, 12, 17, "KORVANE", colour::kMuted, 1.0, 3.0);
}

// The key bar is painted by the program; only the grooves between its boxes show this.
void PaintKeyBed(Canvas& c) {
  c.PaintRect(0, kKeyBarTop, Canvas::kWidth, Canvas::kHeight, [](double, double) { return colour::kKeyBed; });
  c.PaintRect(0, kKeyBarTop - 1, Canvas::kWidth, kKeyBarTop, [](double, double) { return colour::kHairline; });
}

// A recessed window: dark bezel with a lit lower edge, face shaded by face_at.
void DrawWindow(Canvas& c, double x0, double y0, double x1, double y1,
                const std::function<Rgb(double, double)>& face_at, double inner_shadow) {
  c.FillRoundRect(x0, y0, x1, y1, 12, colour::kBezel);
  c.StrokeRoundRect(x0, y0, x1, y1, 12, 1.0, colour::kBezelLight, 0.55);
  const double fx0 = x0 + 3, fy0 = y0 + 3, fx1 = x1 - 3, fy1 = y1 - 3;
  c.FillRoundRectShaded(fx0, fy0, fx1, fy1, 9, [&](double x, double y) {
    Rgb base = face_at(x, y);
    // Shadow cast by the bezel's top edge onto the recessed face.
    const double s = inner_shadow * (1.0 - Smooth(0, 9, y - fy0)) + 0.5 * inner_shadow * (1.0 - Smooth(0, 5, x - fx0)) +
                     0.5 * inner_shadow * (1.0 - Smooth(0, 5, fx1 - x));
    const double k = 1.0 - std::min(s, 0.5);
    return Rgb{base.r * k, base.g * k, base.b * k};
  });
}

// ---------------------------------------------------------------- meter scales

enum class Tick { kMinor, kMedium, kMajor };

struct Mark {
  double position;  // on the meter's own scale, 0..full scale
  Tick kind;
  const char* label;  // nullptr for none
  int face = 0;       // 0 numeral, 1 small numeral, 2 symbol
};

struct Zone {
  double from;
  double to;
  Rgb colour;
};

struct ScaleSpec {
  mg::Pivot pivot;
  double full_scale;
  std::vector<Mark> marks;
  std::vector<Zone> zones;
  const char* unit;  // printed inside the arc, or nullptr
};

// Scale layout as fractions of the needle, pivot 0, tip 1: the tip runs along the
// scale line, the ticks hang inside it where the needle covers them.
constexpr double kArcAt = 1.0;
constexpr double kArcWidth = 1.5;
constexpr double kMajorFrom = 0.885, kMajorTo = 1.05, kMajorWidth = 2.3;
constexpr double kMediumFrom = 0.925, kMediumTo = 1.025, kMediumWidth = 1.7;
constexpr double kMinorFrom = 0.955, kMinorTo = 1.0, kMinorWidth = 1.15;
constexpr double kZoneFrom = 1.0, kZoneTo = 1.036;
constexpr double kNumeralAt = 1.15;

// Screen position (continuous coordinates) of a point on the needle: the needle code
// draws whole pixels, and pixel (x, y) is the square [x, x+1) x [y, y+1).
mg::Point OnNeedle(mg::Pivot p, double angle, double fraction) {
  const mg::Point q = mg::NeedlePoint(p, angle, fraction);
  return {q.x + 0.5, q.y + 0.5};
}

// Elliptic coordinates about a pivot: fraction t of the needle and needle angle.
struct Polar {
  double t;
  double angle;
  double pixels_per_t;  // local scale of t in pixels, for stroke widths
};

Polar ToNeedleCoords(mg::Pivot p, double x, double y) {
  const double dx = x - (p.x + 0.5), dy = y - (p.y + 0.5);
  const double u = -dx / mg::kTipReachX, w = -dy / mg::kTipReachY;
  const double t = std::hypot(u, w);
  const double grad = t > 0 ? std::hypot(u / mg::kTipReachX, w / mg::kTipReachY) / t : 1.0;
  return {t, std::atan2(u, w), grad > 0 ? 1.0 / grad : 1.0};
}

// A band along the needle's travel between two scale positions, centred on fraction
// t_mid, width in pixels.
void DrawBand(Canvas& c, const ScaleSpec& s, double from, double to, double t_mid, double width, Rgb col,
              double alpha = 1.0) {
  const double a_hi = mg::NeedleAngle(from, s.full_scale);
  const double a_lo = mg::NeedleAngle(to, s.full_scale);
  const mg::Pivot p = s.pivot;
  // Box around the band from points along its two edges.
  double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
  const double dt = width / mg::kTipReachY;
  for (int i = 0; i <= 64; ++i) {
    const double a = a_lo + (a_hi - a_lo) * i / 64;
    for (double t : {t_mid - dt, t_mid + dt}) {
      const mg::Point q = OnNeedle(p, a, t);
      x0 = std::min(x0, q.x);
      y0 = std::min(y0, q.y);
      x1 = std::max(x1, q.x);
      y1 = std::max(y1, q.y);
    }
  }
  c.Cover(
      x0 - 2, y0 - 2, x1 + 2, y1 + 2,
      [=](double x, double y) {
        const Polar q = ToNeedleCoords(p, x, y);
        return q.angle >= a_lo && q.angle <= a_hi && std::abs(q.t - t_mid) * q.pixels_per_t <= width / 2;
      },
      col, alpha);
}

void DrawTick(Canvas& c, const ScaleSpec& s, double position, double from, double to, double width) {
  const double a = mg::NeedleAngle(position, s.full_scale);
  const mg::Point p0 = OnNeedle(s.pivot, a, from);
  const mg::Point p1 = OnNeedle(s.pivot, a, to);
  c.Line(p0.x, p0.y, p1.x, p1.y, width, colour::kInk);
}

void DrawScale(Canvas& c, const FontSet& f, const ScaleSpec& s) {
  for (const Zone& z : s.zones) {
    const double mid = (kZoneFrom + kZoneTo) / 2;
    const double width = (kZoneTo - kZoneFrom) * mg::kTipReachY;
    DrawBand(c, s, z.from, z.to, mid, width, z.colour, 0.9);
  }
  DrawBand(c, s, 0, s.full_scale, kArcAt, kArcWidth, colour::kInk);
  for (const Mark& m : s.marks) {
    switch (m.kind) {
      case Tick::kMajor: DrawTick(c, s, m.position, kMajorFrom, kMajorTo, kMajorWidth); break;
      case Tick::kMedium: DrawTick(c, s, m.position, kMediumFrom, kMediumTo, kMediumWidth); break;
      case Tick::kMinor: DrawTick(c, s, m.position, kMinorFrom, kMinorTo, kMinorWidth); break;
    }
    if (m.label) {
      const mg::Point at = OnNeedle(s.pivot, mg::NeedleAngle(m.position, s.full_scale), kNumeralAt);
      const Font& font = m.face == 2 ? *f.symbol : (m.face == 1 ? *f.numeralSm : *f.numeral);
      font.DrawCentredOn(c, at.x, at.y, m.label, colour::kInk);
    }
  }
  if (s.unit) {
    const mg::Point at = OnNeedle(s.pivot, 0.0, 0.80);
    f.legend->DrawCentredOn(c, at.x, at.y, s.unit, colour::kInkSoft);
  }
  // Pivot boss: the needles start from its centre.
  const double bx = s.pivot.x + 0.5, by = s.pivot.y + 0.5;
  c.FillCircle(bx, by + 1.2, 11.5, Rgb{0, 0, 0}, 0.18);
  c.FillCircle(bx, by, 11, Rgb{46, 44, 42});
  c.FillCircle(bx, by, 9.5, Rgb{70, 67, 63});
  c.FillCircle(bx - 2, by - 2.5, 4.5, Rgb{120, 116, 108}, 0.5);
}

ScaleSpec PowerScale(mg::Pivot pivot, int full_scale) {
  ScaleSpec s{pivot, static_cast<double>(full_scale), {}, {}, "W"};
  // 60 W: numerals every 10, half-steps of 5, minor every 1. 120 W: everything doubled.
  const int step = full_scale / 60;
  static const char* const kLabels60[] = {"0", "10", "20", "30", "40", "50", "60"};
  static const char* const kLabels120[] = {"0", "20", "40", "60", "80", "100", "120"};
  for (int v = 0; v <= full_scale; v += step) {
    const int unit = v / step;  // 0..60
    Mark m{static_cast<double>(v), Tick::kMinor, nullptr};
    if (unit % 10 == 0) {
      m.kind = Tick::kMajor;
      m.label = (full_scale == 120 ? kLabels120 : kLabels60)[unit / 10];
    } else if (unit % 5 == 0) {
      m.kind = Tick::kMedium;
    }
    s.marks.push_back(m);
  }
  return s;
}

ScaleSpec SwrScale(mg::Pivot pivot) {
  ScaleSpec s{pivot, static_cast<double>(mg::kFullScaleSwr), {}, {}, nullptr};
  struct Printed {
    double swr;
    Tick kind;
    const char* label;
    int face;
  };
  static const Printed kMarks[] = {
      {1.0, Tick::kMajor, "1", 0},
      {1.1, Tick::kMinor, nullptr, 0},
      {1.2, Tick::kMinor, nullptr, 0},
      {1.3, Tick::kMinor, nullptr, 0},
      {1.4, Tick::kMinor, nullptr, 0},
      {1.5, Tick::kMajor, "1.5", 1},
      {1.6, Tick::kMinor, nullptr, 0},
      {1.7, Tick::kMinor, nullptr, 0},
      {1.8, Tick::kMinor, nullptr, 0},
      {1.9, Tick::kMinor, nullptr, 0},
      {2.0, Tick::kMajor, "2", 0},
      {2.2, Tick::kMinor, nullptr, 0},
      {2.4, Tick::kMinor, nullptr, 0},
      {2.5, Tick::kMedium, nullptr, 0},
      {2.6, Tick::kMinor, nullptr, 0},
      {2.8, Tick::kMinor, nullptr, 0},
      {3.0, Tick::kMajor, "3", 0},
      {3.5, Tick::kMinor, nullptr, 0},
      {4.0, Tick::kMajor, "4", 0},
      {4.5, Tick::kMinor, nullptr, 0},
      {5.0, Tick::kMajor, "5", 0},
      {6.0, Tick::kMinor, nullptr, 0},
      {7.0, Tick::kMedium, nullptr, 0},
      {8.0, Tick::kMinor, nullptr, 0},
      {9.0, Tick::kMinor, nullptr, 0},
      {10.0, Tick::kMajor, "10", 0},
      {20.0, Tick::kMinor, nullptr, 0},
      {50.0, Tick::kMinor, nullptr, 0},
      {100.0, Tick::kMajor, "\xE2\x88\x9E", 2},
  };
  for (const Printed& p : kMarks) s.marks.push_back({mg::SwrScalePosition(p.swr), p.kind, p.label, p.face});
  s.zones.push_back({mg::SwrScalePosition(2.0), mg::SwrScalePosition(3.0), colour::kAmberZone});
  s.zones.push_back({mg::SwrScalePosition(3.0), mg::kFullScaleSwr, colour::kRedZone});
  return s;
}

// Light faces under both meters, one window across the screen so that the frequency,
// which the program writes in black at the top centre, sits on the face too.
void DrawMeterWindow(Canvas& c, const FontSet& f) {
  DrawWindow(
      c, 8, kWindowTop, 792, kWindowBottom,
      [](double x, double y) {
        Rgb base = Mix(colour::kFaceTop, colour::kFaceBottom, Smooth(30, 274, y));
        // Slightly brighter behind each scale, as under a lamp.
        auto glow = [](double dx, double dy) {
          return std::exp(-(dx * dx) / (2 * 150.0 * 150) - (dy * dy) / (2 * 110.0 * 110));
        };
        const double g = 5.0 * std::max(glow(x - 210, y - 140), glow(x - 590, y - 140));
        return Rgb{base.r + g, base.g + g, base.b + g};
      },
      0.22);

  // Frequency window at the top centre.
  c.FillRoundRect(329, 32, 501, 60, 4, Rgb{222, 213, 190});
  c.StrokeRoundRect(329, 32, 501, 60, 4, 1.0, Rgb{176, 165, 142});
  c.PaintRect(331, 59, 499, 60, [](double, double) { return Rgb{238, 232, 216}; });

  // Unlit TX lamp; the program lights it by filling x 375..429, rows 175..209.
  c.FillRoundRect(372, 172, 433, 213, 3, Rgb{86, 81, 74});
  c.PaintRect(375, 175, 430, 210, [](double, double y) {
    return Mix(Rgb{212, 202, 182}, Rgb{200, 190, 170}, (y - 175) / 35);
  });
  f.ghost->Draw(c, 390, 200, "TX", Rgb{168, 158, 140});

  // Maker's name printed on the face between the meters.
  f.legend->DrawCentred(c, 400, 250, "KORVANE", colour::kInkSoft, 0.85, 3.0);
}

Canvas MeterScreen(const FontSet& f, int fwd_full_scale, bool swr_right) {
  Canvas c;
  PaintScreenBackground(c);
  PaintTopStrip(c, f);
  DrawMeterWindow(c, f);
  DrawScale(c, f, PowerScale(mg::kPivotLeft, fwd_full_scale));
  DrawScale(c, f, swr_right ? SwrScale(mg::kPivotRight) : PowerScale(mg::kPivotRight, mg::kFullScaleRefl));
  PaintKeyBed(c);
  return c;
}

// ---------------------------------------------------------------- plot

// Grid box the program draws its lines in: x 70..758, y 60..230.
constexpr int kGridLeft = 70, kGridRight = 758, kGridTop = 60, kGridBottom = 230;

Canvas PlotScreen(const FontSet& f) {
  Canvas c;
  PaintScreenBackground(c);
  PaintTopStrip(c, f);
  // Starts right under the top strip: the "dBm" caption stands at baseline 43.
  DrawWindow(
      c, 8, kTopStripBottom, 792, kWindowBottom,
      [](double, double y) {
        return Mix(Rgb{20, 25, 32}, colour::kPlotFace, Smooth(30, 274, y));
      },
      0.35);
  // The field behind the trace, a little darker than the window, with a thin frame just
  // outside the grid's own border lines.
  c.FillRoundRect(kGridLeft - 3, kGridTop - 3, kGridRight + 4, kGridBottom + 4, 3, Rgb{52, 60, 72});
  c.PaintRect(kGridLeft - 2, kGridTop - 2, kGridRight + 3, kGridBottom + 3, [](double, double y) {
    return Mix(Rgb{9, 13, 19}, colour::kPlotField, Smooth(kGridTop, kGridBottom, y));
  });
  f.legend->Draw(c, kGridRight - f.legend->Measure("kHz").advance, 263, "kHz", colour::kMuted);
  PaintKeyBed(c);
  return c;
}

// ---------------------------------------------------------------- pages

// Row bands for text on the given baselines: 22-pixel rows, the text standing on the
// baseline with room for descenders below.
void PaintRowBands(Canvas& c, int x0, int x1, int first_baseline, int rows, Rgb even, Rgb odd) {
  for (int i = 0; i < rows; ++i) {
    const int base = first_baseline + 22 * i;
    const Rgb col = (i % 2 == 0) ? even : odd;
    c.PaintRect(x0, base - 17, x1, base + 5, [col](double, double) { return col; });
  }
}

Canvas InformationScreen(const FontSet& f) {
  Canvas c;
  PaintScreenBackground(c);
  PaintTopStrip(c, f);
  // Title bar.
  c.PaintRect(0, 30, Canvas::kWidth, 74, [](double, double y) {
    return Mix(Rgb{30, 36, 45}, Rgb{22, 27, 34}, (y - 30) / 44);
  });
  c.PaintRect(0, 74, Canvas::kWidth, 76, [](double, double) { return colour::kAmber; });
  f.title->Draw(c, 20, 61, "SYSTEM INFORMATION", colour::kIvory, 1.0, 1.5);
  // Twelve rows from baseline 110; titles at x 5, values from x 180.
  PaintRowBands(c, 0, Canvas::kWidth, 110, 12, Rgb{24, 29, 37}, Rgb{17, 21, 27});
  c.PaintRect(0, 93, 172, 357, [](double, double y) {
    const int row = (static_cast<int>(y) - 93) / 22;
    return row % 2 == 0 ? Rgb{32, 38, 48} : Rgb{26, 31, 40};
  });
  c.PaintRect(172, 93, 174, 357, [](double, double) { return colour::kHairline; });
  c.PaintRect(0, 357, Canvas::kWidth, 358, [](double, double) { return colour::kHairline; });
  PaintKeyBed(c);
  return c;
}

Canvas InterfaceScreen(const FontSet& f) {
  Canvas c;
  PaintScreenBackground(c);
  PaintTopStrip(c, f);
  // The program writes the bank heading at (100, 50) and the column header at (50, 100).
  c.PaintRect(0, 28, Canvas::kWidth, 64, [](double, double y) {
    return Mix(Rgb{30, 36, 45}, Rgb{22, 27, 34}, (y - 28) / 36);
  });
  c.PaintRect(0, 64, Canvas::kWidth, 66, [](double, double) { return colour::kAmber; });
  constexpr int kTableLeft = 40, kTableRight = 640;
  c.FillRoundRect(kTableLeft - 2, 78, kTableRight + 2, 358, 4, colour::kHairline);
  c.PaintRect(kTableLeft, 80, kTableRight, 106, [](double, double) { return Rgb{36, 43, 54}; });
  // Eleven band rows on baselines 130 + 22 i.
  PaintRowBands(c, kTableLeft, kTableRight, 130, 11, Rgb{24, 29, 37}, Rgb{18, 22, 28});
  c.PaintRect(kTableLeft, 106, kTableRight, 108, [](double, double) { return Rgb{120, 84, 30}; });
  // Column rules between the program's columns at x 50, 90, 170, 250, 350, 470, 540.
  for (int x : {84, 162, 242, 342, 462, 532}) {
    c.PaintRect(x, 108, x + 1, 356, [](double, double) { return Rgb{46, 54, 66}; });
  }
  PaintKeyBed(c);
  return c;
}

// ---------------------------------------------------------------- start

Canvas StartScreen(const FontSet& f, const char* model_line) {
  Canvas c;
  c.Paint([](double x, double y) {
    const double dx = (x - 400) / 520, dy = (y - 175) / 300;
    const double r = std::min(1.0, std::sqrt(dx * dx + dy * dy));
    const double k = Smooth(0, 1, r);
    return Mix(Rgb{34, 41, 52}, Rgb{7, 9, 12}, k);
  });
  f.wordmark->DrawCentred(c, 400, 158, "KORVANE", colour::kIvory, 1.0, 12.0);
  // Amber rule that fades out at both ends.
  for (int x = 170; x < 630; ++x) {
    const double fade = Smooth(170, 330, x + 0.5) * Smooth(630, 470, x + 0.5);
    c.Blend(x, 182, colour::kAmber, fade);
    c.Blend(x, 183, colour::kAmber, fade * 0.6);
  }
  f.subtitle->DrawCentred(c, 400, 219, "HF LINEAR AMPLIFIER  \xC2\xB7  AUTOMATIC ANTENNA TUNER", colour::kMuted, 1.0,
                          1.5);
  f.model->DrawCentred(c, 400, 254, model_line, colour::kAmber, 1.0, 2.0);
  return c;
}

std::unique_ptr<Font> Load(const std::string& path, int size, std::string& error) {
  auto font = std::make_unique<Font>(path, size);
  if (!font->ok()) {
    error = "cannot open font " + path;
    return nullptr;
  }
  return font;
}

}  // namespace

std::vector<NamedScreen> DrawAllScreens(const Fonts& fonts, std::string& error) {
  FontSet f;
  f.numeral = Load(fonts.regular, 17, error);
  f.numeralSm = Load(fonts.regular, 15, error);
  f.symbol = Load(fonts.regular, 24, error);
  f.legend = Load(fonts.bold, 13, error);
  f.brand = Load(fonts.bold, 12, error);
  f.title = Load(fonts.bold, 20, error);
  f.ghost = Load(fonts.regular, 20, error);
  f.wordmark = Load(fonts.bold, 84, error);
  f.subtitle = Load(fonts.regular, 16, error);
  f.model = Load(fonts.bold, 22, error);
  if (!f.numeral || !f.numeralSm || !f.symbol || !f.legend || !f.brand || !f.title || !f.ghost || !f.wordmark ||
      !f.subtitle || !f.model)
    return {};

  std::vector<NamedScreen> out;
  out.push_back({"start", StartScreen(f, "60 W CLASS")});
  out.push_back({"start120", StartScreen(f, "120 W CLASS")});
  out.push_back({"img1", MeterScreen(f, mg::kFullScaleFwd, false)});
  out.push_back({"img1b", MeterScreen(f, mg::kFullScaleFwd120, false)});
  out.push_back({"img3", MeterScreen(f, mg::kFullScaleFwd, true)});
  out.push_back({"img3b", MeterScreen(f, mg::kFullScaleFwd120, true)});
  out.push_back({"m5a", PlotScreen(f)});
  out.push_back({"status", InformationScreen(f)});
  out.push_back({"statusB", InterfaceScreen(f)});
  return out;
}

}  // namespace artwork
