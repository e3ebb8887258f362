// One supervisor pass of the main screen at 800x480x32, without its sleep: the meters with peak
// needles (SWR mode) and the spectrum plot, against the floor of the pass, its two full-screen
// copies (background to work buffer, work buffer to the screen), measured in the same run.
#include <benchmark/benchmark.h>

#include "core/supervisor.h"
#include "core/works.h"
#include "tests/testlib/main_screen.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"

namespace {

struct MainScreen {
  testlib::TempRoot root;
  testlib::TestWorks w;
  bool ready;
  explicit MainScreen(int page) {
    ready = testlib::openMainScreen(root, w.get(), KORVANE_SOURCE_DIR "/assets/screens");
    testlib::setMainScreenReadings(w.get());
    w->meterPage = page;
  }
  ~MainScreen() { fbClose(w->fb); }
};

void pass(benchmark::State& state, int page) {
  MainScreen m(page);
  if (!m.ready) return state.SkipWithError("no screen");
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
  if (!m.ready) return state.SkipWithError("no screen");
  for (auto _ : state) {
    fbSetBack(m.w->fb);
    fbRealize(m.w->fb);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TwoScreenCopies)->Unit(benchmark::kMicrosecond);

}  // namespace
