// Benchmark: the labels of a typical supervisor frame drawn with fresh rendering and with the glyph cache.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/text.h"

namespace {

struct Label {
  int slot, x, y;
  const char* text;
};

// About what one status/meter frame shows: captions, readings, the time line and a few tiles.
const Label kFrame[] = {
    {0, 20, 40, "FWD 1000W"},
    {0, 420, 40, "REFL 12W"},
    {1, 20, 80, "SWR 1.25"},
    {1, 220, 80, "14.070.000"},
    {1, 420, 80, "ANT 2"},
    {1, 600, 80, "ATT 3dB"},
    {6, 20, 110,
     "Temp 45\xC2\xB0"
     "C"},
    {6, 150, 110, "Fan 3"},
    {6, 260, 110, "Volt 48.2V"},
    {6, 400, 110, "Curr 18.5A"},
    {6, 540, 110, "Bank 1"},
    {6, 640, 110, "Mode BIX"},
    {8, 20, 150, "Auto-tune ON"},
    {8, 220, 150, "CL 123 LC 045"},
    {8, 420, 150, "Bypass"},
    {8, 600, 150, "StBy"},
    {9, 300, 220, "1000 W"},
    {9, 300, 300, "SWR 1.0"},
    {10, 20, 380, "Band 20m"},
    {10, 200, 380, "Filter 3"},
    {10, 380, 380, "Memory 12"},
    {10, 560, 380, "Remote OFF"},
    {10, 20, 410, "Peak 1010W"},
    {10, 200, 410, "Avg 980W"},
    {6, 560, 470, "12/03/2024 18:45:02"},
    {6, 20, 470, "Korvane 0.047"},
    {8, 20, 440, "Err: High SWR"},
    {8, 300, 440, "Warn: Temp"},
    {1, 600, 200, "PWR 1kW"},
    {1, 600, 250, "Tune OK"},
    {0, 20, 250, "TX"},
    {0, 100, 250, "RX"},
    {9, 560, 330, "LPF 7"},
    {10, 400, 410, "Spectrum 160k"},
    {6, 20, 20, "Amp link OK"},
    {6, 300, 20, "CAT 115200"},
};

struct Frame : MemoryScreen {
  Frame() : MemoryScreen(800, 480, 4, 0x30) {
    static const bool fonts = [] {
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 24, 0);
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 22, 1);
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14, 6);
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20, 8);
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
      TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18, 10);
      return true;
    }();
    (void)fonts;
  }
};

void BM_FrameLabels(benchmark::State& state) {
  Frame f;
  setGlyphCache(state.range(0) != 0);
  for (auto _ : state) {
    for (const Label& l : kFrame) putString(l.slot, l.x, l.y, l.text, 255, 255, 255, &f.s);
    benchmark::DoNotOptimize(f.work.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(state.range(0) ? "glyph cache" : "fresh rendering");
  state.counters["labels"] = static_cast<double>(sizeof kFrame / sizeof kFrame[0]);
  setGlyphCache(true);
}
BENCHMARK(BM_FrameLabels)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_MeasureLabels(benchmark::State& state) {
  Frame f;
  setGlyphCache(state.range(0) != 0);
  for (auto _ : state)
    for (const Label& l : kFrame) benchmark::DoNotOptimize(getStringSpace(l.slot, l.text));
  setGlyphCache(true);
}
BENCHMARK(BM_MeasureLabels)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
