// One supervisor pass of the main screen at 800x480x32, without its sleep: the meters with peak
// needles (SWR mode) and the spectrum plot, against the floor of the pass, its two full-screen
// copies (background to work buffer, work buffer to the screen), measured in the same run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include "core/supervisor.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/text.h"

namespace {

struct MainScreen {
  testlib::TempRoot root;
  testlib::TestWorks w;
  explicit MainScreen(int page) {
    root.activate();
    root.write("/dev/fb0", "");
    root.write("/dev/fb0.geometry", "800 480 32\n");
    w->fb = fbInit();
    if (chdir(KORVANE_SOURCE_DIR "/assets/screens") != 0) w->fb = nullptr;
    TTFLoad("/usr/share/fonts/truetype/paratype/PTS75F.ttf", 24, 4);
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14, 6);
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20, 8);
    w->ModeWorkIdx = 0;
    w->cpPending = 0;
    w->lastActivity = time(nullptr);
    w->freqMeasured = 14070000;
    w->lastFreq = 14070000;
    w->bandIdx = 0;
    w->meterPage = page;
    w->EnablePwrPeak = 1;
    w->pwrFwd = 42.5f;
    w->pwrIn = 51.0f;
    w->swr = 1.8f;
    w->stStatus1 = 1;
    for (int i = 0; i < kPlotLevels; ++i) w->fftLevel[i] = static_cast<float>(-104 + (i * 37) % 9);
  }
  ~MainScreen() { fbClose(w->fb); }
};

void pass(benchmark::State& state, int page) {
  MainScreen m(page);
  if (!m.w->fb) return state.SkipWithError("no screen");
  SupervisorState st;
  timerPass(m.w.get(), st);  // loads the work image
  for (auto _ : state) {
    timerPass(m.w.get(), st);
    timerAge(m.w.get(), st, 10.0);
  }
}
void BM_PassMeters(benchmark::State& state) { pass(state, 2); }
void BM_PassPlot(benchmark::State& state) { pass(state, 4); }
BENCHMARK(BM_PassMeters)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PassPlot)->Unit(benchmark::kMicrosecond);

void BM_TwoScreenCopies(benchmark::State& state) {
  MainScreen m(2);
  if (!m.w->fb) return state.SkipWithError("no screen");
  for (auto _ : state) {
    fbSetBack(m.w->fb);
    fbRealize(m.w->fb);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TwoScreenCopies)->Unit(benchmark::kMicrosecond);

}  // namespace
