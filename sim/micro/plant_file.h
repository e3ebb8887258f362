// A tuner plant described in a text file, for running the auto-tune against units other than the
// simulator's own: relay values, coil Q, stray capacitance, tolerance, reading noise and loads.
#pragma once

#include <complex>
#include <string>
#include <vector>

#include "sim/micro/tuner_model.h"

namespace sim {

struct PlantLoad {
  std::string name;
  double freqHz = 0;
  std::complex<double> z;
};

struct PlantSpec {
  Plant plant;
  double tolerance = 0;  // each relay within +- this fraction of its value, drawn from toleranceSeed
  unsigned toleranceSeed = 1;
  double noise = 0;  // SWR readings times (1 + noise x a standard normal draw)
  unsigned noiseSeed = 1;
  // Loads given with "load" lines at each of the "freqs"; with none the benchmark uses its own set.
  std::vector<PlantLoad> loads;
  bool antennas = true;  // add the simulated antennas at the centre of each band
};

// Lines, ';' starts a comment, values separated by blanks:
//   lbits_uh v0 .. v8     inductance of each relay bit (weight 1 .. 256), uH
//   cbits_pf v0 .. v8     capacitance of each relay bit, pF
//   residual_uh v         wiring inductance in series at step 0
//   stray_pf v            relay and wiring capacitance at step 0
//   coil_q v              Q of the coils (capacitor Q: cap_q v)
//   tolerance fraction seed
//   noise fraction seed
//   freqs_mhz f ...       frequencies of the "load" lines that follow
//   load name R X         a load (ohms) at each frequency of the last freqs_mhz line
//   antennas 0|1
// The tolerance is applied after the whole file is read. Returns false with a message naming the
// line for anything it cannot take; `spec` is then left as it was.
bool ParsePlantText(const std::string& text, PlantSpec& spec, std::string& error);

}  // namespace sim
