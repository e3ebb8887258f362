// Benchmark: the auto-tune search against the simulated L-network on a fixed load set, next to the brute-force best.
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "amp/link.h"
#include "core/works.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "sim/micro/tuner_model.h"
#include "tuner/tuner.h"

namespace {
struct Case {
  std::string name;
  double freqHz;
  std::complex<double> load;
  // Results.
  int measurements = 0;
  double finalSwr = 0;
  double bruteSwr = 0;
  int bruteL = 0, bruteC = 0, bruteNet = 0;
};

double bruteForce(Case& k) {
  double best = 1e9;
  for (int net = 1; net <= 2; ++net)
    for (int l = 0; l < 512; ++l)
      for (int c = 0; c < 512; ++c) {
        double s = sim::networkSwr(l, c, static_cast<sim::Network>(net), k.freqHz, k.load);
        if (s < best) {
          best = s;
          k.bruteL = l;
          k.bruteC = c;
          k.bruteNet = net;
        }
      }
  k.bruteSwr = best;
  return best;
}

// Runs one search exactly as the link paces it: each status reply carries the SWR of the word sent last.
void search(Case& k, float target, int cycleIdx) {
  auto w = std::make_unique<Works>();
  InitGlobalVar(w.get());
  w->cpPending = 0;
  w->freq = static_cast<uint64_t>(k.freqHz);
  w->SWRescAutoTune = target;
  w->AutoTuneMaxCicli = static_cast<uint8_t>(cycleIdx);
  w->tuneWord = kTuneNetCL;
  w->atuBypass = 0;
  StartAutotune(w.get());
  while (PopCMDLinear(w.get()) >= 0) {
  }
  w->cmdBurst = 0;
  w->txActive = 1;
  const int limit = SWRTimeoutCICLI[cycleIdx];
  int measured = 0;
  for (int replies = 0; w->tuneState != 0 && replies < 10000; ++replies) {
    w->swr = static_cast<float>(sim::networkSwr(w->tuneWord.load(), k.freqHz, k.load));
    int before = w->cnttune;
    int step = w->tuneStep;
    TuneTask(w.get());
    if (w->cnttune > before || (w->tuneState == 0 && before <= limit && step >= 3)) ++measured;
    if (w->tuneState == 2) w->tuneState = 1;
    while (PopCMDLinear(w.get()) >= 0) {
    }
  }
  k.measurements = measured;
  k.finalSwr = sim::networkSwr(w->tuneWord.load(), k.freqHz, k.load);
}

std::vector<Case> loadSet() {
  std::vector<Case> cases;
  const std::pair<const char*, std::complex<double>> loads[] = {
      {"12.5", {12.5, 0}},     {"25", {25, 0}},          {"50", {50, 0}},          {"100", {100, 0}},
      {"200", {200, 0}},       {"450", {450, 0}},        {"1000", {1000, 0}},      {"2000", {2000, 0}},
      {"10-j100", {10, -100}}, {"30+j80", {30, 80}},     {"300+j300", {300, 300}}, {"2000-j500", {2000, -500}},
      {"5-j20", {5, -20}},     {"150-j150", {150, -150}}};
  const double freqs[] = {1.85e6, 3.6e6, 7.1e6, 10.12e6, 14.2e6, 18.1e6, 21.2e6, 24.9e6, 28.5e6, 50.2e6};
  for (auto& [name, z] : loads)
    for (double f : freqs) cases.push_back({name, f, z});
  // The simulated antennas at the centre of each band of the default band table.
  auto w = std::make_unique<Works>();
  InitTabAntenna(w.get(), 0);
  for (int ant = 1; ant <= 3; ++ant)
    for (int b = 0; b < w->numBands; ++b) {
      const BandRow& r = w->tabAntenna[b];
      double f = (static_cast<double>(r.freqMin) + r.freqMax) / 2.0;
      cases.push_back({"ant" + std::to_string(ant) + " " + r.name, f, sim::antennaImpedance(ant, f)});
    }
  return cases;
}
}  // namespace

int main(int argc, char** argv) {
  float target = 1.5f;
  int cycleIdx = 0;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--target") && i + 1 < argc)
      target = strtof(argv[++i], nullptr);
    else if (!strcmp(argv[i], "--cycles") && i + 1 < argc)
      cycleIdx = std::clamp(atoi(argv[++i]), 0, 4);
    else if (!strcmp(argv[i], "--verbose"))
      verbose = true;
    else {
      fprintf(stderr, "usage: %s [--target SWR (1.5; 0 = full search)] [--cycles 0..4] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  // Stored tunes go to a scratch root whose "mount" always succeeds.
  char tmpl[] = "/tmp/korvane-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  std::filesystem::create_directories(root + "/opt/set");
  std::filesystem::create_directories(root + "/bin");
  FILE* m = fopen((root + "/bin/mount").c_str(), "w");
  if (!m) return 1;
  fputs("#!/bin/sh\nexit 0\n", m);
  fclose(m);
  chmod((root + "/bin/mount").c_str(), 0755);
  setRootPrefix(root);
  shellInitPath();
  if (!verbose && !freopen("/dev/null", "w", stderr)) return 1;

  std::vector<Case> cases = loadSet();
  // Brute force on both cores.
  std::vector<std::thread> pool;
  unsigned n = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  for (unsigned t = 0; t < n; ++t)
    pool.emplace_back([&, t] {
      for (size_t i = t; i < cases.size(); i += n) bruteForce(cases[i]);
    });
  for (auto& th : pool) th.join();
  for (auto& k : cases) search(k, target, cycleIdx);

  printf("target SWR %.2f, cycle limit %d measurements\n", target, SWRTimeoutCICLI[cycleIdx]);
  printf("%-14s %8s %6s %9s %9s  %s\n", "load (ohm)", "MHz", "meas", "final", "brute", "brute best (net L C)");
  int matchable = 0, matchedOk = 0, within = 0;
  std::vector<int> meas;
  for (auto& k : cases) {
    printf("%-14s %8.3f %6d %9.3f %9.3f  %s %d %d\n", k.name.c_str(), k.freqHz / 1e6, k.measurements, k.finalSwr,
           k.bruteSwr, k.bruteNet == 1 ? "CL" : "LC", k.bruteL, k.bruteC);
    if (k.bruteSwr <= 1.5) {
      ++matchable;
      if (k.finalSwr <= 1.5) ++matchedOk;
    }
    if (k.finalSwr <= k.bruteSwr + 0.05) ++within;
    meas.push_back(k.measurements);
  }
  std::sort(meas.begin(), meas.end());
  printf("\ncases %zu, matchable (brute force <= 1.5) %d\n", cases.size(), matchable);
  printf("matchable cases ending at 1.5 or below: %d/%d = %.1f%%\n", matchedOk, matchable,
         matchable ? 100.0 * matchedOk / matchable : 0.0);
  printf("cases ending within 0.05 of the brute-force best: %d/%zu = %.1f%%\n", within, cases.size(),
         100.0 * within / static_cast<double>(cases.size()));
  printf("measurements: median %d, worst %d\n", meas[meas.size() / 2], meas.back());
  std::filesystem::remove_all(root);
  return 0;
}
