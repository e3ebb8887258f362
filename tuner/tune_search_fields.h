// Fields of the shared record owned by the matching search of the auto-tune and its setting.
#pragma once
#include <atomic>
#include <cstdint>

// One setting the matching search has measured in the current run.
struct SearchPoint {
  int16_t net = 0;  // 1 CL, 2 LC
  int16_t L = 0, C = 0;
  float swr = 0;
};

inline constexpr int kSearchPoints = 640;  // more than the longest cycle limit can measure

struct TuneSearchFields {
  // The search a run uses: 0 the step climb, 1 the matching search. Read when a run starts; the
  // menu and the choice file write it.
  std::atomic<int> tuneSearch{0};
  // The rest belongs to whoever holds tuneRunMut, like the other run records.
  int tuneSearchRun = 0;  // the search of the running run
  SearchPoint searchPts[kSearchPoints]{};
  int searchCount = 0;
  int searchPhase = 0;    // probes, model-guided moves, polling around the best
  int searchRefits = 0;   // model-guided moves made
  int searchScale = 0;    // readings in a row that found nothing better (the model's poll, then the measured walk)
  int searchStale = 0;    // the next reading is still the tripped word's
  int searchNoPower = 0;  // readings in a row without forward power
  float searchUnderTarget = 0;                  // the last reading, while it was under the target
  double searchGammaRe = 0, searchGammaIm = 0;  // the load as the fit sees it (reflection, 50 ohm)
  int searchSecondLooks = 0;                    // refits to the readings near the best made after the poll
  double searchFitCut = 1e9;                    // readings above this log SWR stay out of the fit
  double searchLScale = 1, searchCScale = 1;    // the banks' steps as the fit sees them, to nominal
};
