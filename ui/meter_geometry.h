// Needle geometry of the two analogue meters: the one source for the needle drawing and the printed scales.
#pragma once

#include <array>
#include <cmath>
#include <numbers>

// The meter faces are printed into the background screens and the needles are drawn
// live over them. Both sides must take every number from here, or the needle stops
// pointing at the value its tick says.
namespace meter_geometry {

// Pivot to the nominal end of the needle, and the extra reach of the tip beyond it
// (the tip is pushed out along the needle's normal, which makes the travel an ellipse).
inline constexpr int kNeedleLength = 200;
inline constexpr int kNeedleTail = 15;

// Half the needle's travel, as a fraction of pi: +kSwing at zero (leaning left),
// upright at half scale, -kSwing at full scale.
inline constexpr double kSwing = 0.24;
inline constexpr double kSwingSpan = 0.48;  // 2 * kSwing, written out as the formula reads

struct Pivot {
  int x;
  int y;
};
inline constexpr Pivot kPivotLeft{210, 260};   // forward power
inline constexpr Pivot kPivotRight{590, 260};  // reflected, SWR or drive

// Full-scale values of the printed scales.
inline constexpr int kFullScaleFwd = 60;      // forward, 60 W model
inline constexpr int kFullScaleFwd120 = 120;  // forward, 120 W model ("b" screens)
inline constexpr int kFullScaleRefl = 60;
inline constexpr int kFullScaleSwr = 60;  // in SWR scale positions, see CONV_SWR
inline constexpr int kFullScalePw = 60;

// Semi-axes of the ellipse the needle tip travels on around its pivot.
inline constexpr double kTipReachX = kNeedleLength + kNeedleTail;  // 215
inline constexpr double kTipReachY = kNeedleLength - kNeedleTail;  // 185

struct SwrPair {
  double swr;
  double position;
};

// SWR reading to position on the SWR meter's 0..60 scale.
inline constexpr std::array<SwrPair, 12> CONV_SWR{{{1.0, 0},
                                                   {1.5, 11},
                                                   {2.0, 20},
                                                   {3.0, 30},
                                                   {4.0, 36},
                                                   {5.0, 40},
                                                   {6.0, 43},
                                                   {7.0, 45},
                                                   {8.0, 47},
                                                   {9.0, 48},
                                                   {10.0, 50},
                                                   {100.0, 60}}};

// Scale position of an SWR reading: linear between the pairs of CONV_SWR, 0 below 1.0,
// 60 from 100 up. NaN maps to 0 so a garbled reading parks the needle instead of
// sending it off the face.
inline double SwrScalePosition(double swr) {
  if (!(swr >= CONV_SWR.front().swr)) return CONV_SWR.front().position;
  for (std::size_t i = 1; i < CONV_SWR.size(); ++i) {
    if (CONV_SWR[i].swr > swr) {
      const SwrPair& a = CONV_SWR[i - 1];
      const SwrPair& b = CONV_SWR[i];
      return a.position + (b.position - a.position) * (swr - a.swr) / (b.swr - a.swr);
    }
  }
  return CONV_SWR.back().position;
}

// Needle angle in radians for a value on a scale of fullScale.
inline double NeedleAngle(double value, double fullScale) {
  return (kSwing - kSwingSpan * value / fullScale) * std::numbers::pi;
}

struct Point {
  double x;
  double y;
};

// Where the needle's tip lands for an angle, before truncation to whole pixels.
inline Point NeedleTip(Pivot p, double angle) {
  const double half_pi = std::numbers::pi / 2;
  return {p.x - kNeedleLength * std::sin(angle) + kNeedleTail * std::cos(angle + half_pi),
          p.y - kNeedleLength * std::cos(angle) + kNeedleTail * std::sin(angle + half_pi)};
}

// A point on the needle: fraction 0 is the pivot, 1 the tip. The scale artwork places
// its arc, ticks and numerals with this, so a tick sits exactly under the needle.
inline Point NeedlePoint(Pivot p, double angle, double fraction) {
  const Point tip = NeedleTip(p, angle);
  return {p.x + (tip.x - p.x) * fraction, p.y + (tip.y - p.y) * fraction};
}

}  // namespace meter_geometry
