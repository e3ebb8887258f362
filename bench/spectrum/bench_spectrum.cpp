// One spectrum line (window, FFT, levels, decimation) at 2048 and 4096 points, against the same line
// made with FFTW's transform (an estimated and a measured plan): the ratio to the estimate plan is the
// figure to watch.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <random>
#include <vector>

#include "radio/usb_spectrum.h"

namespace {

std::vector<float> samples() {
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0, 0.01f);
  std::vector<float> v(8192);
  for (float& x : v) x = noise(rng);
  return v;
}

void BM_SpectrumLine(benchmark::State& state) {
  const std::vector<float> v = samples();
  uint8_t line[kSpectrumLineMax];
  const bool wide = state.range(0) == 4096;
  for (auto _ : state) {
    SpectrumLine(v.data(), static_cast<int>(v.size()), wide, line);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_SpectrumLine)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

// The same line with FFTW doing the transform: window, transform, levels, decimation.
void fftw(benchmark::State& state, unsigned flags) {
  const int n = static_cast<int>(state.range(0));
  fftw_complex* in = fftw_alloc_complex(n);
  fftw_complex* out = fftw_alloc_complex(n);
  fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, flags);
  const std::vector<float> v = samples();
  std::vector<double> window(n);
  for (int k = 1; k < n; ++k) {
    const double x = 2 * 3.141592653589793 * k / (n - 1);
    window[k] = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
  }
  std::vector<uint8_t> centred(n), line(kSpectrumLineMax);
  for (auto _ : state) {
    for (int j = 0; j < n; ++j) {
      in[j][0] = v[2 * j] * window[j];
      in[j][1] = v[2 * j + 1] * window[j];
    }
    fftw_execute(plan);
    for (int k = 0; k < n; ++k) {
      const double re = out[k][0] / (n / 2.0), im = out[k][1] / (n / 2.0);
      const double level = 20 * std::log10(std::sqrt(re * re + im * im));
      const int db = !(level > -192) ? -192 : level > 50 ? 50 : static_cast<int>(level);
      centred[(k + n / 2) % n] = static_cast<uint8_t>(db + 192);
    }
    const int first = n == 4096 ? 341 : 170, length = n == 4096 ? 1706 : 854;
    for (int i = 0; i < length; ++i) line[i] = centred[first + 2 * i];
    benchmark::DoNotOptimize(line.data());
  }
  fftw_destroy_plan(plan);
  fftw_free(in);
  fftw_free(out);
}
void BM_FftwEstimate(benchmark::State& state) { fftw(state, FFTW_ESTIMATE); }
void BM_FftwMeasure(benchmark::State& state) { fftw(state, FFTW_MEASURE); }
BENCHMARK(BM_FftwEstimate)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FftwMeasure)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace
