// The port-error screen: one supervisor pass as it runs now (background decoded once per error),
// against the PNG decode of the start screen that every pass used to repeat.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>

#include "core/supervisor.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/png.h"
#include "ui/text.h"

namespace {

struct ErrorScreen {
  testlib::TempRoot root;
  testlib::TestWorks w;
  ErrorScreen() {
    root.activate();
    root.write("/dev/fb0", "");
    root.write("/dev/fb0.geometry", "800 480 32\n");
    w->fb = fbInit();
    if (chdir(KORVANE_SOURCE_DIR "/assets/screens") != 0) w->fb = nullptr;
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
    w->ModeWorkIdx = 0;
    w->cpPending = 0;
    snprintf(w->portErrorText, sizeof w->portErrorText, "%s", "Linear: Unable to open comm port /dev/ttyAMA0");
    w->portError = 1;
  }
  ~ErrorScreen() { fbClose(w->fb); }
};

void BM_PortErrorPass(benchmark::State& state) {
  ErrorScreen e;
  if (!e.w->fb) return state.SkipWithError("no screen");
  SupervisorState st;
  for (auto _ : state) timerPass(e.w.get(), st);
}
BENCHMARK(BM_PortErrorPass)->Unit(benchmark::kMicrosecond);

void BM_StartScreenDecode(benchmark::State& state) {
  ErrorScreen e;
  if (!e.w->fb) return state.SkipWithError("no screen");
  snprintf(e.w->pngName, sizeof e.w->pngName, "%s", "start");
  for (auto _ : state) getPng(e.w.get(), 1);
}
BENCHMARK(BM_StartScreenDecode)->Unit(benchmark::kMicrosecond);

}  // namespace
