// libFuzzer target: arbitrary bytes into the simulated micro's command framer,
// command parser and text control interface.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/micro/micro_model.h"
#include "sim/micro/micro_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::MicroSim control;  // not started: only its text interface is used
  sim::MicroModel model(size % 2 ? 60 : 120);
  model.setTx(size % 3 == 0);
  model.setDrive(static_cast<double>(size % 40));
  sim::CommandFramer framer;
  size_t replies = 0;
  framer.feed(reinterpret_cast<const char*>(data), size, [&](const sim::CommandFramer::Event& ev) {
    if (ev.overflow) return;
    const std::string r = model.handle(ev.text);
    if (!r.empty() && (r.back() != ';' || r.size() > 80)) __builtin_trap();
    ++replies;
    model.advance(0.02);
  });
  if (framer.pending() > sim::CommandFramer::kMaxCommand) __builtin_trap();
  (void)model.statusReply();
  (void)model.dump();
  // The same bytes as control lines.
  std::string line;
  for (size_t i = 0; i < size && i < 2048; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      if (line.rfind("advance", 0) != 0 && line.rfind("speed", 0) != 0) (void)control.command(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  return 0;
}
