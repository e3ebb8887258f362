// A record wired as the entry point wires it (setup record and mutexes, one set for the whole fuzz run).
#pragma once
#include <memory>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"

inline void WireFuzzRecord(Works* w) {
  static Mirtsetup setup;
  static std::mutex serMut, wsockMut, connMut;
  w->setup = &setup;
  w->serMut = &serMut;
  w->wsockMut = &wsockMut;
  w->connMut = &connMut;
}

// One such record with the setup file's defaults, for the whole run.
inline Works* FuzzRecord() {
  static std::unique_ptr<Works> w = [] {
    auto p = std::make_unique<Works>();
    WireFuzzRecord(p.get());
    initSetup(p.get());
    return p;
  }();
  return w.get();
}
