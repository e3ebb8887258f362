// The main screen's content: needle meters with peak needles, the spectrum plot, the frequency label, the TX lamp.
#include "ui/meters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "ui/fb.h"
#include "ui/meter_geometry.h"
#include "ui/png.h"
#include "ui/text.h"

namespace mg = meter_geometry;

namespace {

constexpr int kLabelFont = 8, kFreqFont = 4, kGridFont = 6;
constexpr int kPlotCentreStart = 213;  // mode 5 shows the centre half of the line, bins 213 to 639

// The TX lamp's box, both ends included.
constexpr int kLampLeft = 375, kLampRight = 429, kLampTop = 175, kLampBottom = 209;

bool txLampLit(const Works* w) {
  const int page = w->statusPage;
  if ((page & 1) && !(page & 2)) return false;  // the information page alone covers the lamp
  return (w->stStatus1 & kStatus1Tx) != 0;
}

struct Grid {
  int rx, ry, boundLeft, boundRight, top, bottom;
  float lowLevel, highLevel;
};

// The derived plot geometry from the current settings. A division count of 0 (a corrupted setting)
// counts as 1 rather than dividing by zero.
Grid gridNow(const Works* w) {
  Grid g{};
  const int divX = std::max(1, w->divX.load()), divY = std::max(1, w->divY.load());
  g.rx = (w->SchermoWidth - w->borderLeft - w->borderRight) / divX;
  g.ry = (w->SchermoHeight - w->borderTop - w->borderBottom) / divY;
  g.boundLeft = w->borderLeft;
  g.boundRight = g.rx * divX + g.boundLeft;
  g.top = w->borderTop;
  g.bottom = g.ry * divY + g.top;
  g.lowLevel = static_cast<float>(w->RefLevel - w->RefPos * w->PointDiv);
  g.highLevel = g.lowLevel + static_cast<float>(divY * w->PointDiv);
  return g;
}

const char* workImage(int page, bool model120) {
  switch (page) {
    case 2: return model120 ? "img3b" : "img3";
    case 4:
    case 5: return "m5a";
    default: return model120 ? "img1b" : "img1";
  }
}

// A reading between 0 and the meter's limit; anything else (a NaN from a garbled reply included)
// would swing the needle past its stop.
float limited(float value, float limit) {
  if (!(value > 0)) return 0;
  return value > limit ? limit : value;
}

float angleFor(float value, int fullScale, float limit) {
  return static_cast<float>(mg::NeedleAngle(limited(value, limit), fullScale > 0 ? fullScale : 1));
}

// Three lines from the pivot and its two neighbours to one tip: three pixels wide at the pivot, one at the tip.
void drawNeedle(Screen* s, mg::Pivot p, float angle, int r, int g, int b) {
  const mg::Point tip = mg::NeedleTip(p, angle);
  const int tx = static_cast<int>(tip.x), ty = static_cast<int>(tip.y);
  for (int dx = -1; dx <= 1; ++dx) DrawLine(p.x + dx, p.y, tx, ty, r, g, b, s);
}

void label(Screen* s, int x, int y, const char* text) { putString(kLabelFont, x, y, text, 0, 0, 0, s); }

// The right meter's value, label, reading and full scale for display modes 1 to 3.
struct RightMeter {
  float value;
  int fullScale;
  const char* name;
  int nameX, readingX;
  char reading[32];
};

RightMeter rightMeter(const Works* w, int page) {
  RightMeter m{};
  if (page == 2) {
    const float swr = limited(w->swr, 100);
    m.value = CalcolaSWR(swr);
    m.fullScale = number_ofStep_meter_SWR;
    m.name = "SWR";
    m.nameX = 570;
    m.readingX = 580;
    snprintf(m.reading, sizeof m.reading, "%02.01f", swr);
  } else if (page == 3) {
    m.value = limited(w->pwrPW, 60);
    m.fullScale = number_ofStep_meter_PW;
    m.name = "PRWIN";
    m.nameX = 560;
    m.readingX = 570;
    FormatPower(w, w->pwrPW, m.reading, sizeof m.reading);
  } else {
    m.value = limited(w->pwrRefl, 60);
    m.fullScale = number_ofStep_meter_REFL;
    m.name = "REFLECTED";
    m.nameX = 535;
    m.readingX = 565;
    FormatPower(w, w->pwrRefl, m.reading, sizeof m.reading);
  }
  return m;
}

void followPeak(std::atomic<float>& peak, std::atomic<int>& hold, float value) {
  if (value > peak) {
    peak = value;
    hold = TimerPeakSec.load();
  } else if (hold <= 0) {
    const float f = static_cast<float>(std::max(0, fattoremedia.load()));
    peak = (f * peak + value) / (f + 1);
  }
}

void decayPeak(std::atomic<float>& peak, std::atomic<int>& hold, std::atomic<int>& count, double elapsedMs) {
  if (hold <= 0) return;
  hold = static_cast<int>(hold - elapsedMs);
  if (count < PeakDecrementTime) {
    ++count;
  } else {
    peak = std::max(0.0f, static_cast<float>(peak - PeakDecrement));
    count = 0;
  }
}

}  // namespace

float CalcolaSWR(float swr) { return static_cast<float>(mg::SwrScalePosition(swr)); }

float ConvertW_to_dBm(float watts) { return 10.0f * std::log10(watts * 1000.0f); }

void FormatPower(const Works* w, float watts, char* out, int size) {
  if (w->PowerUnits == 0) {
    snprintf(out, size, "%02.01fW", watts);
    return;
  }
  const float dbm = ConvertW_to_dBm(watts);
  if (!(dbm >= 0)) {
    snprintf(out, size, "---dBm");
  } else {
    snprintf(out, size, "%02.01fdBm", dbm);
  }
}

void FormatFrequency(double hz, char* out, int size) {
  if (!(hz > 0)) {
    if (size > 0) out[0] = '\0';
  } else if (hz < 1000) {
    snprintf(out, size, "%.00fHz", hz);
  } else if (hz < 1000000) {
    snprintf(out, size, "%.03fkHz", hz / 1000);
  } else {
    snprintf(out, size, "%.03fMHz", hz / 1000000);
  }
}

void CalcolaPwrPeak(Works* w, float value) { followPeak(w->peakFwd, w->peakFwdHold, value); }
void CalcolaPwrPeak2(Works* w, float value) { followPeak(w->peakRight, w->peakRightHold, value); }

void PeakDecay(Works* w, double elapsedMs) {
  decayPeak(w->peakFwd, w->peakFwdHold, w->peakFwdCount, elapsedMs);
  decayPeak(w->peakRight, w->peakRightHold, w->peakRightCount, elapsedMs);
}

void SetWorkImg(Works* w) {
  int page = w->meterPage;
  if (page < 1 || page > 5) {
    klog(LOG_ERR, "Display mode %d does not exist: mode 1 shown", page);
    page = 1;
    w->meterPage = 1;
  }
  if (page == 4) {
    w->divX = 16;
    w->spanHz = 160000;
    w->xRangeEnd = 854;
  } else if (page == 5) {
    w->divX = 8;
    w->spanHz = 80000;
    w->xRangeEnd = 427;
  }
  if (w->ModeWorkIdx != 1 && w->setup) setFlag(w->setup->EnableSerial, '0');
  Screen* s = w->fb;
  if (!s) return;
  std::lock_guard<std::mutex> lk(s->drawMut);
  snprintf(w->pngName, sizeof w->pngName, "%s", workImage(page, w->microCfgB == kMicroCfg120W));
  getPng(w, 1);
  fbSetBack(s);
}

void InitGrid(Works* w) {
  w->SchermoWidth = 800;
  w->SchermoHeight = 280;
  w->borderLeft = 70;
  w->borderRight = 40;
  w->borderTop = 60;
  w->borderBottom = 50;
  w->divX = 16;
  w->divY = 10;
  w->xRangeStart = 0;
  w->xRangeEnd = 854;
  w->RefLevel = -110;
  w->RefPos = 0;
  w->PointDiv = 10;
}

namespace {

// CalculatePoint on a grid already worked out: the trace asks for 1,700 points a pass.
PlotPoint pointOnGrid(const Grid& g, int xRangeStart, int xRangeEnd, float x, float level) {
  const float span = g.highLevel - g.lowLevel;
  float y = span != 0 ? g.bottom - (level - g.lowLevel) / span * (g.bottom - g.top) : g.bottom;
  // NaN levels fail both comparisons: they go to the bottom line like any level below the range.
  if (!(y <= g.bottom)) y = static_cast<float>(g.bottom);
  if (y < g.top) y = static_cast<float>(g.top);
  const int range = xRangeEnd - xRangeStart;
  const float px = range != 0 ? g.boundLeft + (x - xRangeStart) / range * (g.boundRight - g.boundLeft)
                              : static_cast<float>(g.boundLeft);
  return {px, y};
}

}  // namespace

PlotPoint CalculatePoint(const Works* w, float lowLevel, float highLevel, float x, float level) {
  Grid g = gridNow(w);
  g.lowLevel = lowLevel;
  g.highLevel = highLevel;
  return pointOnGrid(g, w->xRangeStart, w->xRangeEnd, x, level);
}

void DrawFreq(Works* w) {
  char text[32];
  FormatFrequency(static_cast<double>(w->freq.load()), text, sizeof text);
  if (!text[0]) return;
  const Grid g = gridNow(w);
  const int page = w->meterPage;
  const bool plot = page == 4 || page == 5;
  putString(kFreqFont, (g.boundRight - g.boundLeft) / 2 + g.boundLeft - 75, g.top - g.ry / 2, text, plot ? 250 : 0,
            plot ? 150 : 0, 0, w->fb);
}

void DrawMeters(Works* w) {
  Screen* s = w->fb;
  const bool peaks = w->EnablePwrPeak == 1;
  const float fwdLimit = w->microCfgB == kMicroCfg120W ? 120.0f : 60.0f;
  const int fwdScale = number_ofStep_meter_FWD;

  w->angleFwd = angleFor(w->pwrFwd, fwdScale, fwdLimit);
  if (peaks) {
    if (w->angleFwdPeak == 0) {
      w->peakFwd = w->pwrIn.load();
    } else {
      CalcolaPwrPeak(w, w->pwrIn);
    }
  }
  drawNeedle(s, mg::kPivotLeft, w->angleFwd, 255, 0, 0);
  if (peaks) {
    w->angleFwdPeak = angleFor(w->peakFwd, fwdScale, fwdLimit);
    drawNeedle(s, mg::kPivotLeft, w->angleFwdPeak, 0, 0, 0);
  }

  RightMeter m = rightMeter(w, w->meterPage);
  if (peaks) {
    if (w->angleRightPeak == 0) {
      w->peakRight = m.value;
    } else {
      CalcolaPwrPeak2(w, m.value);
    }
    w->angleRightPeak = angleFor(w->peakRight, m.fullScale, 60);
  }
  w->angleRight = angleFor(m.value, m.fullScale, 60);
  label(s, m.nameX, 160, m.name);
  label(s, m.readingX, 180, m.reading);
  drawNeedle(s, mg::kPivotRight, w->angleRight, 255, 0, 0);
  if (peaks) drawNeedle(s, mg::kPivotRight, w->angleRightPeak, 0, 0, 0);

  DrawFreq(w);
  char reading[32];
  FormatPower(w, w->pwrFwd, reading, sizeof reading);
  label(s, 155, 160, "FORWARD");
  label(s, 180, 180, reading);
}

namespace {

void drawGridLabels(const Grid& g, int divX, int divY, int pointDiv, int span, Screen* s) {
  char text[16];
  putString(kLabelFont, g.boundLeft - 35, g.top - g.ry, "dBm", 180, 180, 180, s);
  for (int i = 0; i <= divY; ++i) {
    snprintf(text, sizeof text, "%d", static_cast<int>(g.highLevel) - pointDiv * i);
    putString(kGridFont, g.boundLeft - 35, g.top + i * g.ry, text, 180, 180, 180, s);
  }
  for (int i = 0; i <= divX; ++i) {
    const int x = g.boundLeft + i * g.rx;
    const int m = 10 * i - span / 2000;
    snprintf(text, sizeof text, m > 0 ? "+%d" : "%d", m);
    putString(kGridFont, m == 0 ? x : x - 10, g.bottom + 13, text, 180, 180, 180, s);
  }
}

// The grid's lines, or the part of them inside a box (x0 <= x < x1, y0 <= y <= y1).
void drawGridLines(const Grid& g, int divX, int divY, Screen* s, int x0 = 0, int x1 = 1 << 30, int y0 = 0,
                   int y1 = 1 << 30) {
  for (int i = 0; i <= divY; ++i) {
    const int y = g.top + i * g.ry;
    if (y >= y0 && y <= y1)
      DrawHorizontalLine(std::max(g.boundLeft, x0), y, std::min(g.boundRight, x1), 120, 120, 120, s);
  }
  for (int i = 0; i <= divX; ++i) {
    const int x = g.boundLeft + i * g.rx;
    if (x >= x0 && x < x1) DrawLine(x, std::max(g.top, y0), x, std::min(g.bottom, y1), 120, 120, 120, s);
  }
}

}  // namespace

void DrawGrid(Works* w) {
  if (w->statusPage != 0) return;
  Screen* s = w->fb;
  const Grid g = gridNow(w);
  const int divX = std::max(1, w->divX.load()), divY = std::max(1, w->divY.load());
  const int pointDiv = w->PointDiv, span = w->spanHz;

  // The labels and lines change only with the settings: they are drawn into the background once,
  // and every pass starts from a copy that has them (they took half the drawing time of a pass).
  // Nothing else the pass draws before them lies under them but the TX lamp, which is seen to below.
  const GridLabels key{g.rx, g.ry, divX, divY, g.boundLeft, g.top, static_cast<int>(g.highLevel), pointDiv, span};
  const unsigned loads = s->backgroundLoads;
  if (loads == 0) {
    // No background image to keep them in.
    drawGridLabels(g, divX, divY, pointDiv, span, s);
    drawGridLines(g, divX, divY, s);
  } else if (w->plotLabelsBackground == loads && !(w->plotLabelsGrid == key)) {
    // The settings changed under labels already in this background: the next pass loads it afresh
    // (until then the old labels stay) and the new ones go into the fresh one.
    w->mainImageDue = 1;
  } else if (w->plotLabelsBackground != loads) {
    drawGridLabels(g, divX, divY, pointDiv, span, s);
    drawGridLines(g, divX, divY, s);
    Screen background;
    background.width = s->width;
    background.height = s->height;
    background.pixelSize = s->pixelSize;
    background.lineSize = s->lineSize;
    background.memSize = s->memSize;
    background.workBuf = s->backBuf;
    drawGridLabels(g, divX, divY, pointDiv, span, &background);
    drawGridLines(g, divX, divY, &background);
    w->plotLabelsBackground = loads;
    w->plotLabelsGrid = key;
  } else if (txLampLit(w)) {
    // The lamp was drawn before the grid, which crosses it: the lines inside it go over it again.
    drawGridLines(g, divX, divY, s, kLampLeft, kLampRight + 1, kLampTop, kLampBottom);
  }

  // The level array is written by the transceiver link under serMut: draw from a copy.
  float levels[kPlotLevels];
  if (w->serMut) {
    std::lock_guard<std::mutex> lk(*w->serMut);
    memcpy(levels, w->fftLevel, sizeof levels);
  } else {
    memcpy(levels, w->fftLevel, sizeof levels);
  }
  const int first = divX == 16 ? 0 : kPlotCentreStart;
  // Whatever the range setting says, the trace stops at the last pair of points the array holds.
  const int xStart = w->xRangeStart, xEnd = w->xRangeEnd;
  const int last = std::min(xEnd - 2, kPlotLevels - 2 - first);
  const float offset = static_cast<float>(w->OffsetPlot.load());
  // A range setting that stretches the trace far off the screen must not turn into pixel walks of
  // millions of steps (or an out-of-range conversion): x is kept just beyond the screen's edges.
  const float xMax = static_cast<float>(s->width);
  auto px = [xMax](float x) { return static_cast<int>(std::clamp(x, -1.0f, xMax)); };
  for (int i = 0; i <= last; ++i) {
    const PlotPoint a = pointOnGrid(g, xStart, xEnd, static_cast<float>(i), levels[first + i] + offset);
    const PlotPoint b = pointOnGrid(g, xStart, xEnd, static_cast<float>(i + 1), levels[first + i + 1] + offset);
    DrawLine(px(a.x), static_cast<int>(a.y), px(b.x), static_cast<int>(b.y), 250, 0, 150, s);
  }
  DrawFreq(w);
}

void ViewStatusTX(Works* w) {
  if (!txLampLit(w)) return;
  Screen* s = w->fb;
  for (int y = kLampTop; y <= kLampBottom; ++y) DrawHorizontalLine(kLampLeft, y, kLampRight + 1, 250, 0, 0, s);
  putString(kLabelFont, 390, 200, "TX", 255, 255, 255, s);
}
