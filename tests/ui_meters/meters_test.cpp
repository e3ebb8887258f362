// Meters and plot on a screen in memory: needle positions and pixels, readings, the peak needle's
// hold and decay, and where the plot puts its trace.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/meters.h"

namespace {

constexpr double kPi = std::numbers::pi;

class Meters : public ::testing::Test {
 protected:
  void SetUp() override {
    w->fb = &m.s;
    InitGrid(w.get());
  }
  void TearDown() override { w->fb = nullptr; }
  bool isColour(int x, int y, int r, int g, int b) {
    const uint8_t* p = m.s.workBuf + static_cast<size_t>(y) * m.s.lineSize + static_cast<size_t>(x) * 4;
    return p[2] == r && p[1] == g && p[0] == b;
  }
  int colouredInRow(int y, int r, int g, int b) {
    int n = 0;
    for (int x = 0; x < 800; ++x) n += isColour(x, y, r, g, b);
    return n;
  }
  testlib::TestWorks w;
  MemoryScreen m{800, 480, 4, 0xFF};
};

TEST_F(Meters, ForwardNeedleAngleFollowsThePowerAndStopsAtFullScale) {
  const struct {
    float watts;
    int model;  // microCfgB
    int fullScale;
    double angle;
  } cases[] = {
      {0, 0xFF, 60, 0.24 * kPi},   {60, 0xFF, 60, -0.24 * kPi},   {30, 0xFF, 60, 0},
      {95, 0xFF, 60, -0.24 * kPi}, {120, 0x31, 120, -0.24 * kPi}, {200, 0x31, 120, -0.24 * kPi},
      {-3, 0xFF, 60, 0.24 * kPi},  {NAN, 0xFF, 60, 0.24 * kPi},   {15, 0xFF, 60, 0.12 * kPi},
  };
  for (const auto& c : cases) {
    w->microCfgB = c.model;
    number_ofStep_meter_FWD = c.fullScale;
    w->pwrFwd = c.watts;
    DrawMeters(w.get());
    EXPECT_NEAR(w->angleFwd, c.angle, 1e-5) << c.watts << " W on the " << c.fullScale << " W scale";
  }
  number_ofStep_meter_FWD = 60;
}

TEST_F(Meters, SwrScalePositions) {
  const struct {
    float swr, position;
  } cases[] = {{1.0f, 0}, {1.75f, 15.5f}, {2.5f, 25}, {50, 54.4444f}, {100, 60},
               {250, 60}, {0.5f, 0},      {-1, 0},    {NAN, 0},       {1.5f, 11}};
  for (const auto& c : cases) EXPECT_NEAR(CalcolaSWR(c.swr), c.position, 1e-3) << "SWR " << c.swr;
  // On the SWR page the reading is limited to 0..100 first, so the needle stops at full scale.
  w->meterPage = 2;
  w->swr = 400;
  DrawMeters(w.get());
  EXPECT_NEAR(w->angleRight, -0.24 * kPi, 1e-5);
}

TEST_F(Meters, ReadingAndFrequencyTexts) {
  const struct {
    int units;
    float watts;
    const char* text;
  } power[] = {{0, 100, "100.0W"}, {0, 0, "0.0W"},         {0, 5.25f, "5.2W"},    {1, 100, "50.0dBm"},
               {1, 0, "---dBm"},   {1, 0.0005f, "---dBm"}, {1, 0.001f, "0.0dBm"}, {1, NAN, "---dBm"}};
  char out[32];
  for (const auto& c : power) {
    w->PowerUnits = static_cast<uint8_t>(c.units);
    FormatPower(w.get(), c.watts, out, sizeof out);
    EXPECT_STREQ(out, c.text) << c.watts << " W, units " << c.units;
  }
  const struct {
    double hz;
    const char* text;
  } freq[] = {{14070000, "14.070MHz"}, {7000, "7.000kHz"},   {999, "999Hz"}, {0, ""},
              {999999, "999.999kHz"},  {1000000, "1.000MHz"}};
  for (const auto& c : freq) {
    FormatFrequency(c.hz, out, sizeof out);
    EXPECT_STREQ(out, c.text) << c.hz << " Hz";
  }
}

// The live needle is red from the pivot and its two neighbours to the tip that the angle gives.
TEST_F(Meters, NeedlePixelsRunFromThePivotToTheTip) {
  const struct {
    int page;
    float fwd, refl;
  } cases[] = {{1, 10, 45}, {1, 50, 5}, {3, 0, 60}};
  for (const auto& c : cases) {
    std::fill(m.work.begin(), m.work.end(), 0xFF);
    w->meterPage = c.page;
    w->pwrFwd = c.fwd;
    w->pwrRefl = c.refl;
    w->pwrPW = c.refl;
    DrawMeters(w.get());
    for (auto [px, value] : {std::pair{210, c.fwd}, std::pair{590, c.refl}}) {
      const double a = (0.24 - 0.48 * value / 60) * kPi;
      const int tipX = static_cast<int>(px - 215 * std::sin(a)), tipY = static_cast<int>(260 - 185 * std::cos(a));
      for (int x : {px - 1, px, px + 1}) EXPECT_TRUE(isColour(x, 260, 255, 0, 0)) << "pivot column " << x;
      EXPECT_TRUE(isColour(tipX, tipY, 255, 0, 0)) << "tip of the needle at " << value << " W: " << tipX << "," << tipY;
      EXPECT_FALSE(isColour(px - 2, 260, 255, 0, 0));
    }
  }
}

// The peak needle: a higher reading restarts the hold; while it holds the peak falls by
// PeakDecrement every PeakDecrementTime + 1 passes; after it, a third of the way to each reading.
TEST_F(Meters, PeakHoldsFallsAndThenFollows) {
  const struct {
    float reading;
    double passMs;
    float peak;
    int hold;
  } trace[] = {
      {50, 100, 50, 2900},  // a new peak: hold restarts at 3000 and the first pass counts
      {20, 100, 49, 2800},  // falls by 1 every second pass
      {20, 100, 49, 2700}, {20, 100, 48, 2600},
      {45, 100, 48, 2500}, {49, 100, 48, 3000 - 100},  // above the peak: hold restarts, and the fall goes on
  };
  for (const auto& t : trace) {
    CalcolaPwrPeak(w.get(), t.reading);
    PeakDecay(w.get(), t.passMs);
    EXPECT_FLOAT_EQ(w->peakFwd, t.peak) << "reading " << t.reading;
    EXPECT_EQ(w->peakFwdHold, t.hold) << "reading " << t.reading;
  }
  for (int i = 0; i < 29; ++i) {
    CalcolaPwrPeak(w.get(), 20);
    PeakDecay(w.get(), 100);
  }
  EXPECT_EQ(w->peakFwdHold, 0);
  const float atEnd = w->peakFwd;
  EXPECT_FLOAT_EQ(atEnd, 48 - 14);
  // Hold over: each reading pulls the peak a third of the way (fattoremedia 2), and the decay stops.
  CalcolaPwrPeak(w.get(), 20);
  PeakDecay(w.get(), 100);
  EXPECT_FLOAT_EQ(w->peakFwd, (2 * atEnd + 20) / 3);
  // The right meter keeps a set of its own.
  EXPECT_EQ(w->peakRightHold, 0);
  CalcolaPwrPeak2(w.get(), 7);
  EXPECT_FLOAT_EQ(w->peakRight, 7);
  EXPECT_EQ(w->peakRightHold, 3000);
}

// With peaks on, the first pass seeds the peak needle from the reading; both peak needles are black.
TEST_F(Meters, PeakNeedlesAreSeededAndDrawnBlack) {
  w->EnablePwrPeak = 1;
  w->pwrIn = 40;
  w->pwrFwd = 10;
  w->pwrRefl = 0;
  DrawMeters(w.get());
  EXPECT_FLOAT_EQ(w->peakFwd, 40);
  EXPECT_NEAR(w->angleFwdPeak, (0.24 - 0.48 * 40 / 60) * kPi, 1e-5);
  const int tipX = static_cast<int>(210 - 215 * std::sin(w->angleFwdPeak));
  const int tipY = static_cast<int>(260 - 185 * std::cos(w->angleFwdPeak));
  EXPECT_TRUE(isColour(tipX, tipY, 0, 0, 0));
  w->pwrRefl = 30;
  DrawMeters(w.get());
  EXPECT_FLOAT_EQ(w->peakRight, 30);
  EXPECT_EQ(w->peakRightHold, 3000);
}

// The trace: which bins land where across the grid, clamping to its top and bottom lines, the offset.
TEST_F(Meters, PlotPutsItsBinsAcrossTheGridAndClampsTheLevels) {
  const int top = 60, bottom = 230;
  const struct {
    int page;
    float level, offset;
    int row;
  } flat[] = {{4, 50, 0, top}, {4, -300, 0, bottom}, {4, -60, 0, 145}, {4, -60, 20, 111}, {5, NAN, 0, bottom}};
  for (const auto& c : flat) {
    std::fill(m.work.begin(), m.work.end(), 0xFF);
    w->meterPage = c.page;
    SetWorkImg(w.get());
    std::fill(std::begin(w->fftLevel), std::end(w->fftLevel), c.level);
    w->OffsetPlot = c.offset;
    DrawGrid(w.get());
    EXPECT_GE(colouredInRow(c.row, 250, 0, 150), 680) << "level " << c.level << " + " << c.offset;
  }
  // Mode 5 spreads bins 213 to 639 over the whole width: a peak at either end bin sits on an edge,
  // bins just outside are not drawn.
  w->OffsetPlot = 0;
  w->meterPage = 5;
  SetWorkImg(w.get());
  EXPECT_EQ(w->spanHz, 80000);
  auto peakColumns = [&](std::vector<int> bins) {
    std::fill(m.work.begin(), m.work.end(), 0xFF);
    std::fill(std::begin(w->fftLevel), std::end(w->fftLevel), -300.0f);
    for (int b : bins) w->fftLevel[b] = 0;
    DrawGrid(w.get());
    std::vector<int> xs;
    for (int x = 0; x < 800; ++x)
      if (isColour(x, top, 250, 0, 150)) xs.push_back(x);
    return xs;
  };
  EXPECT_EQ(peakColumns({213}), std::vector<int>{70});
  EXPECT_EQ(peakColumns({639}), std::vector<int>{756});  // point 426 of 427
  EXPECT_TRUE(peakColumns({212, 640}).empty());
  w->meterPage = 4;
  SetWorkImg(w.get());
  EXPECT_EQ(peakColumns({0}), std::vector<int>{70});
  EXPECT_EQ(peakColumns({853}), std::vector<int>{757});
}

// Settings that would reach past the level array or off the screen draw what fits and nothing else.
TEST_F(Meters, OutOfRangeSettingsStayInsideTheBuffers) {
  const struct {
    int divX, xRangeEnd, xRangeStart, divY, pointDiv;
  } cases[] = {{16, 100000, 0, 10, 10}, {8, 854, 0, 10, 10}, {0, 854, 0, 0, 0},          {16, 854, 853, 10, 10},
               {16, -5, 0, 10, 10},     {1, 2, 0, 1, 20},    {16, 854, -100000, 10, -10}};
  for (const auto& c : cases) {
    w->divX = c.divX;
    w->xRangeEnd = c.xRangeEnd;
    w->xRangeStart = c.xRangeStart;
    w->divY = c.divY;
    w->PointDiv = c.pointDiv;
    std::fill(std::begin(w->fftLevel), std::end(w->fftLevel), -50.0f);
    DrawGrid(w.get());  // AddressSanitizer watches the buffers
  }
  w->meterPage = 9;
  SetWorkImg(w.get());
  EXPECT_EQ(w->meterPage, 1);
}

TEST_F(Meters, TxLampShowsWhileTransmittingUnlessTheInformationPageCoversIt) {
  const struct {
    int status1, statusPage;
    bool lit;
  } cases[] = {{0x1, 0, true}, {0x0, 0, false}, {0x1, 1, false}, {0x1, 2, true}, {0x1, 3, true}, {0x8, 0, false}};
  for (const auto& c : cases) {
    std::fill(m.work.begin(), m.work.end(), 0xFF);
    w->stStatus1 = c.status1;
    w->statusPage = static_cast<uint8_t>(c.statusPage);
    ViewStatusTX(w.get());
    EXPECT_EQ(isColour(375, 175, 250, 0, 0) && isColour(429, 209, 250, 0, 0), c.lit)
        << c.status1 << "/" << c.statusPage;
    EXPECT_FALSE(isColour(430, 209, 250, 0, 0));
    EXPECT_FALSE(isColour(374, 175, 250, 0, 0));
  }
}

// The grid's lines and labels are drawn into the background once: every pass after that, the TX lamp
// included (the grid crosses it), shows the same pixels as a pass that draws everything anew; new
// settings ask for a fresh background.
TEST_F(Meters, GridKeptInTheBackgroundGivesTheSamePixelsAsDrawingItEachPass) {
  w->meterPage = 4;
  SetWorkImg(w.get());
  w->stStatus1 = 1;
  std::fill(std::begin(w->fftLevel), std::end(w->fftLevel), -70.0f);
  auto pass = [&] {
    fbSetBack(&m.s);
    ViewStatusTX(w.get());
    DrawGrid(w.get());
    return m.work;
  };
  const std::vector<uint8_t> drawnEachPass = pass();
  m.s.backgroundLoads = 1;  // a background image is loaded from here on
  EXPECT_EQ(pass(), drawnEachPass) << "the pass that draws into the background";
  EXPECT_NE(m.back, std::vector<uint8_t>(m.back.size(), 0xFF)) << "nothing was kept in the background";
  EXPECT_EQ(pass(), drawnEachPass) << "a pass that starts from the kept grid";
  w->stStatus1 = 0;
  const std::vector<uint8_t> lampOff = pass();
  EXPECT_NE(lampOff, drawnEachPass);
  w->mainImageDue = 0;
  w->RefLevel = -100;
  pass();
  EXPECT_EQ(w->mainImageDue, 1) << "new labels need a fresh background";
}

}  // namespace
