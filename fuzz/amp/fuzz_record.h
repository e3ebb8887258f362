// One record for a whole fuzz run, wired as the entry point wires it (setup record and mutexes).
#pragma once
#include <memory>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"

inline Works* FuzzRecord() {
  static std::unique_ptr<Works> w = [] {
    auto p = std::make_unique<Works>();
    static Mirtsetup setup;
    static std::mutex serMut, wsockMut, connMut;
    p->setup = &setup;
    p->serMut = &serMut;
    p->wsockMut = &wsockMut;
    p->connMut = &connMut;
    initSetup(p.get());
    return p;
  }();
  return w.get();
}
