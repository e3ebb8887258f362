// Cost of a GPIO pass (every 2 ms on the unit): keys only, and with a code exchange, waits not counted.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "amp/gpio.h"
#include "platform/gpio_block.h"
#include "platform/gpio_model.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/test_clock.h"

namespace {

// Plain memory in place of the mapped window: what the scanner itself costs, keys released.
class MemoryBlock final : public GpioBlock {
 public:
  MemoryBlock() { regs_[kGpLev0] = 0x3Fu << kPinKey1; }
  uint32_t read(int word) override { return regs_[word & (kGpBlockWords - 1)]; }
  void write(int word, uint32_t value) override {
    if (word != kGpLev0) regs_[word & (kGpBlockWords - 1)] = value;
  }

 private:
  uint32_t regs_[kGpBlockWords]{};
};

// A pass with no code due (199 of every 201 passes on the unit).
void BM_PassKeysOnly(benchmark::State& state, bool model) {
  testlib::TempRoot root;
  std::filesystem::create_directories(root.file("/sim"));
  testlib::TestWorks w;
  testlib::TestClock clock;
  MemoryBlock memory;
  GpioModel gpioModel(clock, root.file("/sim/gpio_panel"));
  GpioBlock& block = model ? static_cast<GpioBlock&>(gpioModel) : memory;
  GpioScanner s{block, clock, {}};
  gpioConfigurePins(block, clock);
  for (auto _ : state) {
    w->gpioCode = kGpioCodeNone;
    w->gpioCodeCounter = 100;  // never due
    gpioPass(w.get(), s);
  }
}

// The 20-bit exchange's register traffic (its 10.2 ms of waits are the test clock's).
void BM_Exchange(benchmark::State& state, bool model) {
  testlib::TempRoot root;
  std::filesystem::create_directories(root.file("/sim"));
  testlib::TestClock clock;
  MemoryBlock memory;
  GpioModel gpioModel(clock, root.file("/sim/gpio_panel"));
  GpioBlock& block = model ? static_cast<GpioBlock&>(gpioModel) : memory;
  gpioConfigurePins(block, clock);
  for (auto _ : state) benchmark::DoNotOptimize(gpioExchange(block, clock, 0xD3));
}

BENCHMARK_CAPTURE(BM_PassKeysOnly, window, false);
BENCHMARK_CAPTURE(BM_PassKeysOnly, model, true);
BENCHMARK_CAPTURE(BM_Exchange, window, false);
BENCHMARK_CAPTURE(BM_Exchange, model, true);

}  // namespace
