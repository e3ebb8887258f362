// Reader of the plant description files of the auto-tune benchmark.
#include "sim/micro/plant_file.h"

#include <cmath>
#include <sstream>

namespace sim {
namespace {

bool readNumbers(std::istringstream& in, double* out, int n) {
  for (int i = 0; i < n; ++i)
    if (!(in >> out[i]) || !std::isfinite(out[i])) return false;
  return true;
}

bool nothingLeft(std::istringstream& in) {
  std::string rest;
  return !(in >> rest);
}

}  // namespace

bool ParsePlantText(const std::string& text, PlantSpec& spec, std::string& error) {
  PlantSpec s = spec;
  std::vector<double> freqs;
  std::istringstream lines(text);
  std::string line;
  int lineNo = 0;
  bool loadsGiven = false;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (std::getline(lines, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    std::istringstream in(line);
    std::string key;
    if (!(in >> key)) continue;
    double v[9];
    if (key == "lbits_uh" || key == "cbits_pf") {
      if (!readNumbers(in, v, 9) || !nothingLeft(in)) return fail("nine values wanted");
      for (int i = 0; i < 9; ++i) {
        if (v[i] <= 0 || v[i] > 1e5) return fail("a relay value must be positive");
        if (key == "lbits_uh")
          s.plant.lBitH[i] = v[i] * 1e-6;
        else
          s.plant.cBitF[i] = v[i] * 1e-12;
      }
    } else if (key == "residual_uh" || key == "stray_pf" || key == "coil_q" || key == "cap_q") {
      if (!readNumbers(in, v, 1) || !nothingLeft(in)) return fail("one value wanted");
      if (v[0] < 0 || v[0] > 1e6) return fail("value out of range");
      if (key == "residual_uh") s.plant.lResidualH = v[0] * 1e-6;
      if (key == "stray_pf") s.plant.cStrayF = v[0] * 1e-12;
      if (key == "coil_q" || key == "cap_q") {
        if (v[0] < 1) return fail("a Q below 1");
        (key == "coil_q" ? s.plant.coilQ : s.plant.capQ) = v[0];
      }
    } else if (key == "tolerance" || key == "noise") {
      if (!readNumbers(in, v, 2) || !nothingLeft(in)) return fail("a fraction and a seed wanted");
      if (v[0] < 0 || v[0] > 0.5) return fail("fraction outside 0 .. 0.5");
      if (v[1] < 0 || v[1] > 4294967295.0 || v[1] != std::floor(v[1])) return fail("seed must be a whole number");
      (key == "tolerance" ? s.tolerance : s.noise) = v[0];
      (key == "tolerance" ? s.toleranceSeed : s.noiseSeed) = static_cast<unsigned>(v[1]);
    } else if (key == "freqs_mhz") {
      freqs.clear();
      double f;
      while (in >> f) {
        if (!std::isfinite(f) || f < 0.1 || f > 60) return fail("frequency outside 0.1 .. 60 MHz");
        freqs.push_back(f * 1e6);
        if (freqs.size() > 100) return fail("more than 100 frequencies");
      }
      if (!in.eof() || freqs.empty()) return fail("frequencies in MHz wanted");
    } else if (key == "load") {
      std::string name;
      if (!(in >> name) || !readNumbers(in, v, 2) || !nothingLeft(in)) return fail("a name, R and X wanted");
      if (v[0] <= 0 || v[0] > 1e5 || std::fabs(v[1]) > 1e5) return fail("R must be positive, R and X below 1e5");
      if (freqs.empty()) return fail("a load before any freqs_mhz line");
      if (s.loads.size() + freqs.size() > 10000) return fail("more than 10000 loads");
      if (!loadsGiven) s.loads.clear();
      loadsGiven = true;
      for (double f : freqs) s.loads.push_back({name, f, {v[0], v[1]}});
    } else if (key == "antennas") {
      if (!readNumbers(in, v, 1) || !nothingLeft(in) || (v[0] != 0 && v[0] != 1)) return fail("0 or 1 wanted");
      s.antennas = v[0] == 1;
    } else {
      return fail("unknown key \"" + key.substr(0, 40) + "\"");
    }
  }
  if (s.tolerance > 0) s.plant.perturb(s.tolerance, s.toleranceSeed);
  spec = std::move(s);
  return true;
}

}  // namespace sim
