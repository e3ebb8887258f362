// Benchmark: what the packet link does per packet, next to the line rate it must keep up with
// (a 1200-byte spectrum line every 100 ms or so, a 31-byte block on every change).
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "radio/radio.h"

namespace {

struct Record {
  std::unique_ptr<Works> w = std::make_unique<Works>();
  Mirtsetup setup;
  std::mutex serMut;
  Record() {
    w->setup = &setup;
    w->serMut = &serMut;
  }
};

const std::string kBlock = std::string("\x00", 1) + "00=6;0?0" +
                           "\x81\x40\x43\x91\x43\x35\x30\x64\x69\x32\x6D\x55\xDC\x28"
                           "258???38";

void BM_StoreParameters(benchmark::State& state) {
  Record r;
  const auto* b = reinterpret_cast<const unsigned char*>(kBlock.data());
  for (auto _ : state) storeParameters(r.w.get(), static_cast<int>(kBlock.size()), b);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreParameters);

void BM_RotateSpectrum(benchmark::State& state) {
  unsigned char line[1194], out[1024];
  for (int i = 0; i < 1194; ++i) line[i] = static_cast<unsigned char>(i * 7);
  SerParam p;
  p.modeCur = 6;
  p.pitch = 600;
  p.rxOffset = -1500;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RotateSpectrum(p, line, 1194, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_RotateSpectrum);

void BM_StoreFFT(benchmark::State& state) {
  Record r;
  unsigned char line[1194];
  for (int i = 0; i < 1194; ++i) line[i] = static_cast<unsigned char>(i * 7);
  for (auto _ : state) storeFFT(r.w.get(), 1194, line);
  state.SetBytesProcessed(state.iterations() * 854);
}
BENCHMARK(BM_StoreFFT);

}  // namespace

BENCHMARK_MAIN();
