// Benchmark: an auto-tune search against a simulated L-network (the simulator's own or one described
// in a plant file) on a load set, next to the brute-force best on the same plant.
#include <sys/stat.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/autotune/autotune_run.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "tuner/tuner.h"

int main(int argc, char** argv) {
  float target = 1.5f;
  int cycleIdx = 0;
  int search = 0;
  bool verbose = false;
  const char* plantPath = nullptr;
  int only = -1;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--target") && i + 1 < argc) {
      target = strtof(argv[++i], nullptr);
    } else if (!strcmp(argv[i], "--cycles") && i + 1 < argc) {
      cycleIdx = std::clamp(atoi(argv[++i]), 0, 4);
    } else if (!strcmp(argv[i], "--search") && i + 1 < argc &&
               (!strcmp(argv[i + 1], "old") || !strcmp(argv[i + 1], "new"))) {
      search = !strcmp(argv[++i], "new") ? 1 : 0;
    } else if (!strcmp(argv[i], "--plant") && i + 1 < argc) {
      plantPath = argv[++i];
    } else if (!strcmp(argv[i], "--case") && i + 1 < argc) {
      only = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--verbose")) {
      verbose = true;
    } else {
      fprintf(stderr,
              "usage: %s [--search old|new] [--plant FILE] [--target SWR (1.5; 0 = full search)] [--cycles 0..4] "
              "[--case ROW (its readings)] [--verbose]\n",
              argv[0]);
      return 2;
    }
  }
  sim::PlantSpec spec;
  if (plantPath) {
    std::string text, error;
    if (!readWholeFile(plantPath, text, 1u << 20)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], plantPath);
      return 2;
    }
    if (!sim::ParsePlantText(text, spec, error)) {
      fprintf(stderr, "%s: %s: %s\n", argv[0], plantPath, error.c_str());
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

  std::vector<tunebench::Case> cases = tunebench::CasesFor(spec);
  if (only >= 0) {
    // One row, 0 = the first, with every reading the search was given.
    if (only >= static_cast<int>(cases.size())) return 2;
    tunebench::Case& k = cases[static_cast<size_t>(only)];
    tunebench::BruteForce(k, spec.plant);
    std::string trace;
    tunebench::RunSearch(k, spec, search, target, cycleIdx, only, &trace);
    printf("%s%s\n", trace.c_str(), tunebench::Row(k).c_str());
    std::filesystem::remove_all(root);
    return 0;
  }
  // Brute force on both cores.
  std::vector<std::thread> pool;
  unsigned n = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  for (unsigned t = 0; t < n; ++t)
    pool.emplace_back([&, t] {
      for (size_t i = t; i < cases.size(); i += n) tunebench::BruteForce(cases[i], spec.plant);
    });
  for (auto& th : pool) th.join();
  for (size_t i = 0; i < cases.size(); ++i)
    tunebench::RunSearch(cases[i], spec, search, target, cycleIdx, static_cast<int>(i));

  printf("search %s, plant %s, target SWR %.2f, cycle limit %d measurements\n", search ? "new" : "old",
         plantPath ? plantPath : "simulator", target, SWRTimeoutCICLI[cycleIdx]);
  printf("%-14s %8s %6s %9s %9s  %s\n", "load (ohm)", "MHz", "meas", "final", "brute", "brute best (net L C)");
  for (auto& k : cases) printf("%s\n", tunebench::Row(k).c_str());
  printf("\n%s", tunebench::Summary(cases).c_str());
  std::filesystem::remove_all(root);
  return 0;
}
