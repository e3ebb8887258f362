// Factory calibration of the simulated unit and the text of its configuration files.
#include "sim/micro/calibration.h"

#include <cmath>
#include <cstdio>

namespace sim {

const std::vector<CalRow>& calibrationRows() {
  // The coupler loses a little sensitivity at the low end and gains some towards
  // 6 m; the drive coupler is flatter. Thresholds: 25 W of drive, 12 A of PA
  // current, 30 W reflected, 140 W forward.
  static const std::vector<CalRow> rows = {
      {1000000, 100, 3190, 25, 2710, 10, 1380, -0.0075, 25, 12.0, 30, 140, 4},
      {2500000, 100, 3240, 25, 2750, 10, 1390, -0.0072, 25, 12.0, 30, 140, 4},
      {4500000, 100, 3270, 25, 2780, 10, 1395, -0.0070, 25, 12.0, 30, 140, 4},
      {6000000, 100, 3300, 25, 2800, 10, 1400, -0.0070, 25, 12.0, 30, 140, 4},
      {8500000, 100, 3320, 25, 2820, 10, 1402, -0.0068, 25, 12.0, 30, 140, 4},
      {12000000, 100, 3340, 25, 2840, 10, 1405, -0.0068, 25, 12.0, 30, 140, 2},
      {16000000, 100, 3360, 25, 2860, 10, 1408, -0.0066, 25, 12.0, 30, 140, 2},
      {19500000, 100, 3380, 25, 2880, 10, 1410, -0.0066, 25, 12.0, 30, 140, 2},
      {23000000, 100, 3400, 25, 2900, 10, 1412, -0.0065, 25, 12.0, 30, 140, 2},
      {26500000, 100, 3420, 25, 2920, 10, 1415, -0.0065, 25, 12.0, 30, 140, 2},
      {35000000, 100, 3480, 25, 2980, 10, 1425, -0.0060, 25, 12.0, 30, 140, 1},
      {56000000, 100, 3480, 25, 2980, 10, 1425, -0.0060, 25, 12.0, 30, 140, 1},
  };
  return rows;
}

CouplerK couplerAt(double freqHz) {
  const auto& rows = calibrationRows();
  size_t idx = 0;
  if (rows.size() >= 2) {
    idx = rows.size() - 2;  // at or above the closing row: keep the last real row
    for (size_t i = 0; i + 1 < rows.size(); ++i) {
      if (freqHz < rows[i + 1].freqStart) {
        idx = i;
        break;
      }
    }
  }
  const CalRow& r = rows[idx];
  return {r.fwdW / (r.fwdCounts * r.fwdCounts), r.reflW / (r.reflCounts * r.reflCounts),
          r.pwW / (r.pwCounts * r.pwCounts), r.k3};
}

const std::vector<FilterBand>& filterBank() {
  static const std::vector<FilterBand> bank = {
      {1800000, 2000000, true},   {3500000, 4000000, true},   {5330500, 7300000, true},   {10100000, 10150000, true},
      {14000000, 14350000, true}, {18068000, 21450000, true}, {24890000, 29700000, true}, {50000000, 54000000, true},
  };
  return bank;
}

std::string configTxt() {
  std::string out =
      "; Korvane calibration table\n"
      "; freqStart aux  fwdW fwdCnt  reflW reflCnt  pwW pwCnt  K3  "
      "PWIN(W) I(A) REFL(W) FWD(W)  L1 C1 L2 C2 L3 C3 L4 C4 L5 C5  step\n";
  // Five starting points for a manual search, low C and L for the higher bands.
  static const int tuneparL[5] = {0, 40, 80, 160, 320};
  static const int tuneparC[5] = {0, 16, 64, 128, 256};
  for (const CalRow& r : calibrationRows()) {
    const double scale = r.freqStart < 12000000 ? 1.0 : 0.5;
    char line[400];
    std::snprintf(line, sizeof line, "%u 0 %g %g %g %g %g %g %g %g %g %g %g", r.freqStart, r.fwdW, r.fwdCounts, r.reflW,
                  r.reflCounts, r.pwW, r.pwCounts, r.k3, r.sogliaPwin, r.sogliaCorrente, r.sogliaRefl, r.sogliaFwd);
    out += line;
    for (int i = 0; i < 5; ++i) {
      std::snprintf(line, sizeof line, " %d %d", static_cast<int>(tuneparL[i] * scale),
                    static_cast<int>(tuneparC[i] * scale));
      out += line;
    }
    std::snprintf(line, sizeof line, " %d\n", r.step);
    out += line;
  }
  return out;
}

std::string filterTxt() {
  std::string out = "; low-pass filter relays: freqMin freqMax enable (row n drives relay n)\n";
  for (const FilterBand& f : filterBank()) {
    char line[80];
    std::snprintf(line, sizeof line, "%u %u %d\n", f.freqMin, f.freqMax, f.enable ? 1 : 0);
    out += line;
  }
  return out;
}

std::string ventolaTxt() {
  return "; fan table: heat-sink temperature (C) and fan step (%)\n"
         "0 0\n"
         "35 30\n"
         "42 50\n"
         "48 75\n"
         "54 100\n";
}

}  // namespace sim
