// LoadButtons as the supervisor calls it every 10 ms, at 800x480x32: the main page's bar with the
// message line and status strips, the parameter panel, the band table with 11 rows, the information page.
#include <benchmark/benchmark.h>

#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/memory_screen.h"
#include "ui/menu.h"
#include "ui/text.h"

namespace {

struct Bar {
  testlib::TempRoot root;
  testlib::TestWorks w;
  MemoryScreen m{800, 480};
  Bar() {
    root.activate();
    initSetup(w.get());
    InitMenuMirt(w.get());
    w->fb = &m.s;
    const char* sans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    const char* bold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    TTFLoad(bold, 24, 0);
    TTFLoad(sans, 22, 1);
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf", 24, 7);
    TTFLoad(sans, 20, 8);
    TTFLoad(bold, 21, 11);
    w->numBands = 11;
    for (int i = 0; i < 11; ++i) {
      snprintf(w->tabAntenna[i].name, sizeof w->tabAntenna[i].name, "%dm", 160 - 14 * i);
      w->tabAntenna[i].freqMin = 1800000u + 2500000u * i;
      w->tabAntenna[i].freqMax = w->tabAntenna[i].freqMin + 300000u;
    }
  }
};

void page(benchmark::State& state, int menuPage, int statusPage) {
  Bar b;
  b.w->menuPage = menuPage;
  b.w->statusPage = static_cast<uint8_t>(statusPage);
  for (auto _ : state) {
    std::lock_guard<std::mutex> lk(b.m.s.drawMut);
    LoadButtons(b.w.get());
    benchmark::ClobberMemory();
  }
}
void BM_MainPageWithStrips(benchmark::State& s) { page(s, kPageMain, 0); }
void BM_ParameterPanel(benchmark::State& s) { page(s, kPageParamList, 0); }
void BM_BandTable(benchmark::State& s) { page(s, kPageInterface, kStatusInterface); }
void BM_InformationPage(benchmark::State& s) { page(s, kPageMain, kStatusInfo); }
BENCHMARK(BM_MainPageWithStrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParameterPanel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BandTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InformationPage)->Unit(benchmark::kMicrosecond);

}  // namespace
