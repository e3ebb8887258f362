// Fuzz target: the auto-tune benchmark's plant description reader and the plant it builds.
#include <cmath>
#include <string>

#include "sim/micro/plant_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::PlantSpec spec;
  std::string error;
  if (!sim::ParsePlantText(std::string(reinterpret_cast<const char*>(data), size), spec, error)) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  const double s = sim::networkSwr(spec.plant, 511, 511, sim::Network::CL, 14.2e6, {50, 0});
  if (!(s >= 1.0 && s <= 100.0)) __builtin_trap();
  for (const auto& l : spec.loads)
    if (!(l.z.real() > 0) || !std::isfinite(l.freqHz)) __builtin_trap();
  return 0;
}
