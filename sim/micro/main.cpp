// korvane-sim-micro: runs the simulated amplifier micro on a pty until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/micro/micro_sim.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

void usage() {
  std::fprintf(stderr,
               "usage: korvane-sim-micro --link <path> [--control <fifo>] [--model 60|120] "
               "[--fault silent|slow|garble|error|overlong|reset|hot|swr]... [--speed X]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, control;
  sim::MicroSimOptions opts;
  opts.logToStderr = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--link" && hasValue) {
      link = argv[++i];
    } else if (a == "--control" && hasValue) {
      control = argv[++i];
    } else if (a == "--model" && hasValue) {
      const std::string m = argv[++i];
      if (m != "60" && m != "120") {
        std::fprintf(stderr, "korvane-sim-micro: model must be 60 or 120, not '%s'\n", m.c_str());
        return 2;
      }
      opts.model = std::atoi(m.c_str());
    } else if (a == "--fault" && hasValue) {
      const auto f = sim::faultFromName(argv[++i]);
      if (!f) {
        std::fprintf(stderr, "korvane-sim-micro: unknown fault '%s'\n", argv[i]);
        return 2;
      }
      opts.faults.push_back(*f);
    } else if (a == "--speed" && hasValue) {
      char* end = nullptr;
      opts.timeScale = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(opts.timeScale >= 0) || opts.timeScale > 10000) {
        std::fprintf(stderr, "korvane-sim-micro: bad speed '%s'\n", argv[i]);
        return 2;
      }
    } else if (a == "--quiet") {
      opts.logToStderr = false;
    } else {
      usage();
      return 2;
    }
  }
  if (link.empty()) {
    usage();
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  sim::MicroSim micro(opts);
  if (!micro.start(link)) return 1;
  if (!control.empty() && !micro.serveControl(control)) {
    micro.stop();
    return 1;
  }
  std::fprintf(stderr, "korvane-sim-micro: %s -> %s (%d W model)%s%s\n", link.c_str(), micro.slavePath().c_str(),
               opts.model, control.empty() ? "" : ", control ", control.c_str());
  while (!gStop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  micro.stop();
  std::fprintf(stderr, "korvane-sim-micro: stopped\n");
  return 0;
}
