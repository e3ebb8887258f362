// The auto-tune search: start-up commands, the climb and descent rules, ends on target, cycle limit and abort.
#include "tests/tuner/tuner_test_util.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "core/works.h"
#include "sim/micro/tuner_model.h"
#include "ui/errors.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

namespace {
struct Measured {
  int step;
  int L, C, mode;
};

struct AutoTune : Fixture {
  std::vector<Measured> seen;
  // Plays the link: after each status reply (the SWR of the word sent last) one step runs.
  int run(const std::function<float(uint32_t)>& swrOf, int maxReplies = 5000) {
    StderrCapture quiet;
    w->cmdBurst = 0;
    w->txActive = 1;
    int replies = 0;
    while (w->tuneState != 0 && replies < maxReplies) {
      uint32_t t = w->tuneWord;
      w->swr = swrOf(t);
      int before = w->cnttune;
      int step = w->tuneStep;
      int limit = SWRTimeoutCICLI[w->AutoTuneMaxCicli];
      TuneTask(w);
      bool measured = w->cnttune > before || (w->tuneState == 0 && before <= limit && step >= 3);
      if (measured)
        seen.push_back({step, DecodeInduttanzaFromTuneval(t), DecodeCapacitaFromTuneval(t), DecodeModoFromTuneval(t)});
      if (w->tuneState == 2) w->tuneState = 1;  // the link clears the trip with "CPFFFF;"
      ++replies;
    }
    return replies;
  }
  void start() {
    w->atuBypass = 0;
    StderrCapture quiet;
    StartAutotune(w);
    drain();
  }
};
}  // namespace

TEST_F(AutoTune, StartQueuesTheTuningSetupInOrder) {
  w->tsPwin = 1234;
  w->stStatus0 = 1;
  w->anValue = 1;
  StartAutotune(w);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_MP1, LIN_AT_TUNE, LIN_TS, LIN_CP, LIN_MP0, LIN_AN}));
  EXPECT_EQ(w->tsPwin.load(), 4095);
  EXPECT_EQ(w->anValue.load(), 0);
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_EQ(w->cmdBurst.load(), 1);
  // While the burst is pending, a status reply does not advance the search.
  TuneTask(w);
  EXPECT_EQ(w->tuneStep.load(), 0);

  EscAutoTune(w, 0);
  w->atuBypass = 1;
  StartAutotune(w);
  EXPECT_TRUE(drain().size() == 1);  // only the attenuator restore of the abort
  EXPECT_EQ(w->tuneState.load(), 0);
}

TEST_F(AutoTune, FirstMeasurementUnderTheTargetEndsAndStores) {
  w->SWRescAutoTune = 1.5f;
  w->AutoTuneMode = 1;
  w->freq = 14200000;
  w->NumBanco = 3;
  w->antennaIdx = 1;
  w->curConfigRow = 4;
  start();
  run([](uint32_t) { return 1.3f; });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].step, 3);
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(w->tuneWord.load(), kTuneNetCL);  // CL, C = L = 0: the best, sent next
  EXPECT_EQ(root.read("/opt/set/atu_ant2_b3.txt"), "3130 14200000 1 1 0 0\n");
  EXPECT_EQ(drain(), std::vector<int>{LIN_AT});
  EXPECT_EQ(w->AutoTuneMode.load(), 0x05);
  EXPECT_EQ(w->curConfigRow.load(), -1);
}

TEST_F(AutoTune, ZeroSwrNeverMeetsTheTarget) {
  w->SWRescAutoTune = 1.5f;
  start();
  run([](uint32_t) { return 0.0f; }, 6);
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_GE(seen.size(), 2u);
}

TEST_F(AutoTune, ClimbToleratesARiseOfPointOneAndStopsOnMore) {
  start();
  run(
      [](uint32_t t) {
        switch (DecodeInduttanzaFromTuneval(t)) {
          case 0: return 3.0f;
          case 4: return 3.1f;
          case 8: return 3.15f;
          default: return 3.3f;
        }
      },
      7);
  // L = 0, 4, 8, 12 measured; 3.3 after 3.15 is worse: L drops to 11 and the fine descent begins.
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen[3].L, 12);
  EXPECT_EQ(seen[3].step, 3);
  EXPECT_EQ(w->tuneStep.load(), 4);
}

TEST_F(AutoTune, FlatLoadWalksEveryStepAndTheCapacitorStopsAt504) {
  w->AutoTuneMaxCicli = 0;  // 600 measurements
  w->SWRescAutoTune = 0.0f;
  start();
  run([](uint32_t) { return 3.0f; });
  EXPECT_EQ(w->tuneState.load(), 0);
  int maxC5 = 0, maxL3 = 0;
  std::vector<int> steps;
  for (auto& m : seen) {
    if (m.step == 5) maxC5 = std::max(maxC5, m.C);
    if (m.step == 3) maxL3 = std::max(maxL3, m.L);
    if (steps.empty() || steps.back() != m.step) steps.push_back(m.step);
  }
  EXPECT_EQ(maxL3, 508);
  EXPECT_EQ(maxC5, 504);
  EXPECT_EQ(steps, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  // Equal SWR everywhere: the first setting (CL, 0, 0) stays the best and is what is stored and sent.
  EXPECT_EQ(w->tuneWord.load(), kTuneNetCL);
  // The fine descent of L takes eight steps (limit 7) from 507.
  int finalL4 = 0;
  for (auto& m : seen)
    if (m.step == 4) finalL4 = m.L;
  EXPECT_EQ(finalL4, 499);
}

TEST_F(AutoTune, CycleLimitEndsAfterThe101stMeasurement) {
  w->AutoTuneMaxCicli = 4;
  w->SWRescAutoTune = 0.0f;
  w->freq = 14200000;
  start();
  run([](uint32_t t) { return DecodeInduttanzaFromTuneval(t) == 8 ? 2.5f : 3.0f; });
  EXPECT_EQ(seen.size(), 101u);
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(ExistError(w, kErrorTuneTimeout), 1);
  EXPECT_EQ(ExistError(w, kErrorTuneSwr), 0);
  std::vector<int> q = drain();
  EXPECT_NE(std::find(q.begin(), q.end(), LIN_MP1), q.end());
  EXPECT_NE(std::find(q.begin(), q.end(), LIN_AT_PROT), q.end());
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b1.txt"));
  // The best measurement is the relay word the link sends next.
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 8);
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneWord), 1);
}

TEST_F(AutoTune, CycleLimitWithATargetIsAnSwrWarning) {
  w->AutoTuneMaxCicli = 4;
  w->SWRescAutoTune = 1.2f;
  start();
  run([](uint32_t) { return 3.0f; });
  EXPECT_EQ(ExistError(w, kErrorTuneSwr), 1);
  EXPECT_EQ(ExistError(w, kErrorTuneTimeout), 0);
}

TEST_F(AutoTune, HighSwrTripCountsAs100AndAsksForAClear) {
  start();
  w->cmdBurst = 0;
  w->txActive = 1;
  for (int i = 0; i < 3; ++i) TuneTask(w);  // steps 0, 1, 2
  ASSERT_EQ(w->tuneStep.load(), 3);
  w->stStatus1 = 0x2;
  w->swr = 1.1f;
  TuneTask(w);
  EXPECT_EQ(w->tuneState.load(), 2);
  EXPECT_FLOAT_EQ(w->vTuneParam[0].swr, 100.0f);
}

TEST_F(AutoTune, FullRunOnAModelLoadStoresTheBestSetting) {
  const std::complex<double> load(2000, 0);
  const double f = 14.2e6;
  w->freq = 14200000;
  w->NumBanco = 0;
  w->antennaIdx = 0;
  w->SWRescAutoTune = 0.0f;
  start();
  run([&](uint32_t t) { return static_cast<float>(sim::networkSwr(t, f, load)); });
  ASSERT_EQ(w->tuneState.load(), 0);
  float best = 1000;
  for (auto& m : seen)
    best = std::min(best, static_cast<float>(sim::networkSwr(m.L, m.C, static_cast<sim::Network>(m.mode), f, load)));
  EXPECT_FLOAT_EQ(static_cast<float>(sim::networkSwr(w->tuneWord, f, load)), best);
  EXPECT_LT(best, 1.5f);
  char line[64];
  snprintf(line, sizeof line, "3130 14200000 1 %d %d %d\n", DecodeModoFromTuneval(w->tuneWord),
           DecodeInduttanzaFromTuneval(w->tuneWord), DecodeCapacitaFromTuneval(w->tuneWord));
  EXPECT_EQ(root.read("/opt/set/atu_ant1.txt"), line);
}

TEST_F(AutoTune, UnmatchableLoadRaisesMaxSwrAndStoresNothing) {
  w->SWRescAutoTune = 0.0f;
  start();
  run([](uint32_t) { return 8.0f; });
  EXPECT_EQ(ExistError(w, kErrorTuneMaxSwr), 1);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b1.txt"));
}

TEST_F(AutoTune, TuneKeyStartsWithTheHandshakeAndAbortsWithoutStoring) {
  w->TUNEenabled = static_cast<int8_t>(0x80);
  w->AutoTuneMode = 1;
  GoTune(w);
  EXPECT_EQ(w->tuneState.load(), 0);

  w->TUNEenabled = 0;
  w->ModeWorkIdx = 1;
  w->AutoTuneMode = 0x41;
  {
    StderrCapture err;
    GoTune(w);
    std::string t = err.take();
    EXPECT_NE(t.find("c-START TUNE (41)!!"), std::string::npos);
    EXPECT_NE(t.find("a-START TUNE!!"), std::string::npos);
  }
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_EQ(w->AutoTuneMode.load(), 0x11);
  drain();
  // Abort before any measurement: nothing stored, no SWR error.
  GoTune(w);
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(ExistError(w, kErrorTuneMaxSwr), 0);
  EXPECT_EQ(drain(), std::vector<int>{LIN_AT});
  EXPECT_EQ(w->AutoTuneMode.load() & 0x04, 0x04);

  // Settling after a run (0x08) blocks a new start.
  w->AutoTuneMode = 0x09;
  GoTune(w);
  EXPECT_EQ(w->tuneState.load(), 0);
}

TEST_F(AutoTune, AbortFromAnotherThreadNeverLandsInsideAStep) {
  for (int round = 0; round < 20; ++round) {
    start();
    w->cmdBurst = 0;
    w->txActive = 1;
    std::atomic<bool> go{true};
    std::thread link([&] {
      while (go) {
        w->swr = 3.0f;
        TuneTask(w);
        if (w->tuneState == 0) break;
      }
    });
    std::this_thread::yield();
    EscAutoTune(w, 0);
    go = false;
    link.join();
    EXPECT_EQ(w->tuneState.load(), 0);
    EXPECT_EQ(w->cnttune, 0);
    drain();
  }
}

TEST_F(AutoTune, ReadingWithoutForwardPowerNeverBecomesTheBest) {
  Clr_vTuneParam(w);
  w->tuneParam = TuneRecord{2.0f, 100.0f, 4, 0, 4};
  CtrlNuovoTune(w);
  for (float lost : {0.0f, 0.01f}) {
    w->tuneParam = TuneRecord{lost, 0.0f, 8, 0, 8};
    CtrlNuovoTune(w);
    EXPECT_EQ(w->miglioretuneParam.L, 4) << lost;
  }
  EXPECT_FLOAT_EQ(w->vTuneParam[0].swr, 0.01f);  // the history still holds what was read
  w->tuneParam = TuneRecord{0.02f, 100.0f, 12, 0, 12};
  CtrlNuovoTune(w);
  EXPECT_EQ(w->miglioretuneParam.L, 12);

  // A whole run on a flat load whose carrier drops out at one setting: that setting is not stored.
  w->AutoTuneMaxCicli = 0;
  w->SWRescAutoTune = 0.0f;
  w->freq = 14200000;
  w->NumBanco = 0;
  w->antennaIdx = 0;
  start();
  run([](uint32_t t) { return DecodeInduttanzaFromTuneval(t) == 8 ? 0.0f : 3.0f; });
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(w->tuneWord.load(), kTuneNetCL);
  EXPECT_EQ(root.read("/opt/set/atu_ant1.txt"), "3130 14200000 1 1 0 0\n");
}

// A run whose readings never show forward power must not send or store a word nobody measured.
TEST_F(AutoTune, RunWithoutAnyForwardPowerStoresNothingAndKeepsTheWord) {
  const uint32_t before = kTuneNetLC | 0x15;
  for (int target : {0, 1}) {
    SCOPED_TRACE(target);
    w->tuneWord = before;
    w->SWRescAutoTune = target ? 1.5f : 0.0f;
    w->AutoTuneMaxCicli = 0;
    w->freq = 14200000;
    w->NumBanco = 0;
    w->antennaIdx = 0;
    DeleteErrore(w, kErrorTuneMaxSwr);
    DeleteErrore(w, kErrorTuneTimeout);
    DeleteErrore(w, kErrorTuneSwr);
    start();
    run([](uint32_t) { return 0.0f; });
    EXPECT_EQ(w->tuneState.load(), 0);
    EXPECT_EQ(w->tuneWord.load(), before);  // what the link sends next
    EXPECT_FALSE(root.exists("/opt/set/atu_ant1.txt"));
    EXPECT_TRUE(ExistError(w, kErrorTuneMaxSwr) || ExistError(w, kErrorTuneTimeout) || ExistError(w, kErrorTuneSwr));
    drain();
  }
}

// Reference traces: every relay word the search sends, in order, and the run's own measurement
// count, on three loads. KORVANE_UPDATE_REFERENCES=1 rewrites them on purpose.
TEST_F(AutoTune, ReferenceTracesOnThreeLoads) {
  struct Load {
    const char* name;
    double f;
    std::complex<double> z;
  };
  const Load loads[] = {
      {"2000ohm_14MHz", 14.2e6, {2000, 0}}, {"12ohm_3MHz", 3.6e6, {12.5, 0}}, {"30+j80_7MHz", 7.1e6, {30, 80}}};
  const bool update = getenv("KORVANE_UPDATE_REFERENCES") && *getenv("KORVANE_UPDATE_REFERENCES") == '1';
  for (const Load& k : loads) {
    SCOPED_TRACE(k.name);
    w->tuneWord = kTuneNetCL;
    w->SWRescAutoTune = 0.0f;
    w->AutoTuneMaxCicli = 0;
    w->freq = static_cast<uint64_t>(k.f);
    start();
    std::string trace;
    StderrCapture quiet;
    w->cmdBurst = 0;
    w->txActive = 1;
    int maxCount = 0;
    for (int replies = 0; w->tuneState != 0 && replies < 5000; ++replies) {
      w->swr = static_cast<float>(sim::networkSwr(w->tuneWord, k.f, k.z));
      TuneTask(w);
      maxCount = std::max(maxCount, w->cnttune);
      char line[32];
      snprintf(line, sizeof line, "%08X\n", w->tuneWord.load());
      trace += line;
      if (w->tuneState == 2) w->tuneState = 1;
    }
    trace += "measurements " + std::to_string(maxCount) + "\n";
    const std::string path = std::string(KORVANE_TUNER_TRACES) + "/" + k.name + ".txt";
    if (update) {
      FILE* f = fopen(path.c_str(), "w");
      ASSERT_TRUE(f);
      fputs(trace.c_str(), f);
      fclose(f);
      continue;
    }
    const std::string want = tunertest::slurp(path);
    ASSERT_FALSE(want.empty()) << path << " is missing: run with KORVANE_UPDATE_REFERENCES=1";
    if (trace != want) {
      size_t line = 1, i = 0;
      for (; i < trace.size() && i < want.size() && trace[i] == want[i]; ++i) line += trace[i] == '\n';
      ADD_FAILURE() << "trace differs from " << path << " at line " << line;
    }
    drain();
  }
}
