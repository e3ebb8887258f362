// Shared set-up of the tuner fuzz targets: one record with defaults, traces silenced.
#pragma once
#include <memory>
#include <string>

#include "amp/link.h"
#include "core/works.h"
#include "tuner/tuner.h"

inline Works* fuzzWorks() {
  static std::unique_ptr<Works> w = [] {
    auto p = std::make_unique<Works>();
    InitGlobalVar(p.get());
    return p;
  }();
  return w.get();
}

inline void drainQueue(Works* w) {
  while (PopCMDLinear(w) >= 0) {
  }
}
