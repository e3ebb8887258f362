// libFuzzer target: any ventola.txt text, parsed and then driven through the fan step at several temperatures.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "amp/link.h"
#include "amp/protection.h"
#include "core/works.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto tab = ParseVentolaText(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const auto& e : tab) {
    if (e.step < 0 || e.step > 100) abort();
  }
  static auto w = std::make_unique<Works>();
  w->tabVentola = std::move(tab);
  w->fanSent = 0;
  w->Isteresi2 = 1;
  for (float t : {-10.0f, 0.0f, 29.9f, 45.0f, 59.99f, 60.0f, 80.0f, 45.0f, -10.0f}) {
    w->temp1 = t;
    w->temp2 = t / 2;
    searchPercentVentola(w.get());
    if (w->fanSent < 0 || w->fanSent > 100) abort();
    while (PopCMDLinear(w.get()) >= 0) {
    }
  }
  return 0;
}
