// Fields of the shared record owned by the meters and the plot.
#pragma once
#include <atomic>

constexpr int kPlotLevels = 854;  // spectrum points held for the plot

// What the plot's labels depend on.
struct GridLabels {
  int rx = 0, ry = 0, divX = 0, divY = 0, left = 0, top = 0, highLevel = 0, pointDiv = 0, spanHz = 0;
  bool operator==(const GridLabels&) const = default;
};

struct MeterFields {
  // Peak needles: hold time left (ms), peak value, passes since the last decay step. Written by the
  // supervisor; angleRightPeak is also reset by the key that changes the display mode.
  std::atomic<int> peakFwdHold{0}, peakRightHold{0};
  std::atomic<float> peakFwd{0}, peakRight{0};
  std::atomic<int> peakFwdCount{0}, peakRightCount{0};
  std::atomic<float> angleFwd{0}, angleFwdPeak{0}, angleRight{0}, angleRightPeak{0};

  // Plot grid: set by InitGrid and SetWorkImg, RefLevel/RefPos/PointDiv edited on the PLOT parameters.
  std::atomic<int> SchermoWidth{800}, SchermoHeight{280};
  std::atomic<int> borderLeft{70}, borderRight{40}, borderTop{60}, borderBottom{50};
  std::atomic<int> divX{16}, divY{10};
  std::atomic<int> xRangeStart{0}, xRangeEnd{854};
  std::atomic<int> RefLevel{-110}, RefPos{0}, PointDiv{10};

  // The plot's labels drawn into the background: for which load of it (0: none) and which grid.
  // Supervisor thread only.
  unsigned plotLabelsBackground = 0;
  GridLabels plotLabelsGrid;

  // The plot's level array in dB, written under serMut by the spectrum store.
  float fftLevel[kPlotLevels]{};
};
