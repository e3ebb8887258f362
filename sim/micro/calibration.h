// The simulated unit's factory calibration: coupler factors per frequency row,
// protection thresholds, filter bank and fan table, and the files that carry them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One row of the unit's calibration table. The coupler factors are stored the way
// the calibration bench measured them, a power in watts at a count, so that the
// file and the coupler model share one source of truth.
struct CalRow {
  uint32_t freqStart;  // Hz, row governs [freqStart, next row's freqStart)
  double fwdW, fwdCounts;
  double reflW, reflCounts;
  double pwW, pwCounts;
  double k3;              // directivity leakage: reflected reading holds -k3 x forward
  double sogliaPwin;      // W
  double sogliaCorrente;  // A
  double sogliaRefl;      // W
  double sogliaFwd;       // W
  int step;
};

struct CouplerK {
  double k0, k1, k2, k3;  // W per count^2 (forward, reflected, drive) and leakage
};

const std::vector<CalRow>& calibrationRows();
// Coupler factors in force at a frequency. Uses the same row rule as the unit's
// table (the last row only closes the previous one); outside the table the
// nearest row's coupler is used, because the hardware does not stop at a row edge.
CouplerK couplerAt(double freqHz);

struct FilterBand {
  uint32_t freqMin, freqMax;
  bool enable;
};
// The eight low-pass filter relays; bit i of the relay mask selects row i.
const std::vector<FilterBand>& filterBank();

std::string configTxt();
std::string filterTxt();
std::string ventolaTxt();

}  // namespace sim
