// korvane-sim-ft817: runs the simulated FT-817 on a pty until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <thread>

#include "sim/ft817/ft817_sim.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: korvane-sim-ft817 <link path>\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sim::Ft817Sim rig;
  if (!rig.start(argv[1])) return 1;
  std::fprintf(stderr, "korvane-sim-ft817: %s\n", argv[1]);
  while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  rig.stop();
  return 0;
}
