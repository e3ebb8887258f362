// The auto-tune benchmark's core: load set, paced search run, brute force, table rows.
#include "bench/autotune/autotune_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

#include "amp/link.h"
#include "core/works.h"
#include "tuner/tuner.h"

namespace tunebench {

std::vector<Case> CasesFor(const sim::PlantSpec& spec) {
  std::vector<Case> cases;
  if (!spec.loads.empty()) {
    for (const auto& l : spec.loads) cases.push_back({l.name, l.freqHz, l.z});
  } else {
    const std::pair<const char*, std::complex<double>> loads[] = {
        {"12.5", {12.5, 0}},     {"25", {25, 0}},          {"50", {50, 0}},          {"100", {100, 0}},
        {"200", {200, 0}},       {"450", {450, 0}},        {"1000", {1000, 0}},      {"2000", {2000, 0}},
        {"10-j100", {10, -100}}, {"30+j80", {30, 80}},     {"300+j300", {300, 300}}, {"2000-j500", {2000, -500}},
        {"5-j20", {5, -20}},     {"150-j150", {150, -150}}};
    const double freqs[] = {1.85e6, 3.6e6, 7.1e6, 10.12e6, 14.2e6, 18.1e6, 21.2e6, 24.9e6, 28.5e6, 50.2e6};
    for (auto& [name, z] : loads)
      for (double f : freqs) cases.push_back({name, f, z});
  }
  if (spec.antennas) {
    auto w = std::make_unique<Works>();
    InitTabAntenna(w.get(), 0);
    for (int ant = 1; ant <= 3; ++ant)
      for (int b = 0; b < w->numBands; ++b) {
        const BandRow& r = w->tabAntenna[b];
        double f = (static_cast<double>(r.freqMin) + r.freqMax) / 2.0;
        cases.push_back({"ant" + std::to_string(ant) + " " + r.name, f, sim::antennaImpedance(ant, f)});
      }
  }
  return cases;
}

void BruteForce(Case& k, const sim::Plant& plant) {
  double best = 1e9;
  for (int net = 1; net <= 2; ++net)
    for (int l = 0; l < 512; ++l)
      for (int c = 0; c < 512; ++c) {
        double s = sim::networkSwr(plant, l, c, static_cast<sim::Network>(net), k.freqHz, k.load);
        if (s < best) {
          best = s;
          k.bruteL = l;
          k.bruteC = c;
          k.bruteNet = net;
        }
      }
  k.bruteSwr = best;
}

// Runs one search exactly as the link paces it: each status reply carries the SWR of the word sent last.
void RunSearch(Case& k, const sim::PlantSpec& spec, int search, float target, int cycleIdx, int index,
               std::string* trace) {
  auto w = std::make_unique<Works>();
  InitGlobalVar(w.get());
  w->cpPending = 0;
  w->freq = static_cast<uint64_t>(k.freqHz);
  w->SWRescAutoTune = target;
  w->AutoTuneMaxCicli = static_cast<uint8_t>(cycleIdx);
  w->tuneWord = kTuneNetCL;
  w->atuBypass = 0;
  w->tuneSearch = search;
  StartAutotune(w.get());
  while (PopCMDLinear(w.get()) >= 0) {
  }
  w->cmdBurst = 0;
  w->txActive = 1;
  std::mt19937 gen(spec.noiseSeed * 7919u + static_cast<unsigned>(index));
  std::normal_distribution<double> normal(0.0, 1.0);
  const int limit = SWRTimeoutCICLI[cycleIdx];
  int measured = 0;
  for (int replies = 0; w->tuneState != 0 && replies < 10000; ++replies) {
    const sim::TunerSetting set = sim::decodeTuneWord(w->tuneWord.load());
    const double exact = sim::networkSwr(spec.plant, set, k.freqHz, k.load);
    double s = exact;
    if (spec.noise > 0) s = std::clamp(s * (1.0 + spec.noise * normal(gen)), 1.0, 100.0);
    if (trace) {
      char line[96];
      snprintf(line, sizeof line, "%4d %s %3d %3d  read %7.3f  plant %7.3f\n", replies,
               set.net == sim::Network::CL   ? "CL"
               : set.net == sim::Network::LC ? "LC"
                                             : "--",
               set.l, set.c, s, exact);
      *trace += line;
    }
    w->swr = static_cast<float>(s);
    int before = w->cnttune;
    int step = w->tuneStep;
    TuneTask(w.get());
    if (w->cnttune > before || (w->tuneState == 0 && before <= limit && step >= 3)) ++measured;
    if (w->tuneState == 2) w->tuneState = 1;
    while (PopCMDLinear(w.get()) >= 0) {
    }
  }
  k.measurements = measured;
  k.finalSwr = sim::networkSwr(spec.plant, sim::decodeTuneWord(w->tuneWord.load()), k.freqHz, k.load);
}

std::string RowHead(const Case& k) {
  char line[128];
  snprintf(line, sizeof line, "%-14s %8.3f %6d %9.3f", k.name.c_str(), k.freqHz / 1e6, k.measurements, k.finalSwr);
  return line;
}

std::string Row(const Case& k) {
  char line[128];
  snprintf(line, sizeof line, " %9.3f  %s %d %d", k.bruteSwr, k.bruteNet == 1 ? "CL" : "LC", k.bruteL, k.bruteC);
  return RowHead(k) + line;
}

std::string Summary(const std::vector<Case>& cases) {
  int matchable = 0, matchedOk = 0, within = 0;
  std::vector<int> meas;
  for (auto& k : cases) {
    if (k.bruteSwr <= 1.5) {
      ++matchable;
      if (k.finalSwr <= 1.5) ++matchedOk;
    }
    if (k.finalSwr <= k.bruteSwr + 0.05) ++within;
    meas.push_back(k.measurements);
  }
  if (cases.empty()) return "no cases\n";
  std::sort(meas.begin(), meas.end());
  char t[512];
  snprintf(t, sizeof t,
           "cases %zu, matchable (brute force <= 1.5) %d\n"
           "matchable cases ending at 1.5 or below: %d/%d = %.1f%%\n"
           "cases ending within 0.05 of the brute-force best: %d/%zu = %.1f%%\n"
           "measurements: median %d, worst %d\n",
           cases.size(), matchable, matchedOk, matchable, matchable ? 100.0 * matchedOk / matchable : 0.0, within,
           cases.size(), 100.0 * within / static_cast<double>(cases.size()), meas[meas.size() / 2], meas.back());
  return t;
}

}  // namespace tunebench
