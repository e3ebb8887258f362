// The auto-tune benchmark's core, shared with the test that keeps the step climb's table: the load
// set, one search run paced like the link, and the brute-force best on the same plant.
#pragma once
#include <complex>
#include <string>
#include <vector>

#include "sim/micro/plant_file.h"

namespace tunebench {

struct Case {
  std::string name;
  double freqHz = 0;
  std::complex<double> load;
  int measurements = 0;
  double finalSwr = 0;
  double bruteSwr = 0;
  int bruteL = 0, bruteC = 0, bruteNet = 0;
};

// The plant's loads, or the benchmark's own set (resistive and reactive loads at ten frequencies),
// and the simulated antennas at the centre of each band when the plant keeps them.
std::vector<Case> CasesFor(const sim::PlantSpec& spec);
void BruteForce(Case& k, const sim::Plant& plant);
// One run of search 0 (step climb) or 1 (matching search); `index` picks the case's noise draws.
// Stored tunes go under the current root, whose mount must succeed.
// With `trace`, each reply's setting, the SWR the search was given and the plant's own are appended.
void RunSearch(Case& k, const sim::PlantSpec& spec, int search, float target, int cycleIdx, int index,
               std::string* trace = nullptr);
// A row of the table up to the final SWR, then the brute-force columns.
std::string RowHead(const Case& k);
std::string Row(const Case& k);
// The summary lines: matchable cases reaching 1.5, within 0.05 of the best, measurement counts.
std::string Summary(const std::vector<Case>& cases);

}  // namespace tunebench
