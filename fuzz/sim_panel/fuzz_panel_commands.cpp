// libFuzzer target: arbitrary bytes as the simulator's front-panel command lines.
#include <sys/stat.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/panel/panel_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::PanelDriver* driver = [] {
    char t[] = "/tmp/korvane-fuzz-panel-XXXXXX";
    std::string root = mkdtemp(t) ? t : "/tmp";
    mkdir((root + "/sim").c_str(), 0755);
    auto* d = new sim::PanelDriver;
    if (!d->open(root)) abort();
    return d;
  }();
  std::string line;
  for (size_t i = 0; i <= size && i < 4096; ++i) {
    if (i == size || data[i] == '\n') {
      const auto answer = driver->command(line);
      if (answer && answer->empty()) __builtin_trap();
      if (driver->panel().keysDown() & ~0x3Fu) __builtin_trap();
      for (int code = 0; code < 256; ++code)
        if (driver->panel().reply(code) > 0xFFF) __builtin_trap();
      line.clear();
    } else {
      line.push_back(static_cast<char>(data[i]));
    }
  }
  // Nothing stays held past the inputs that held it.
  for (int k = 1; k <= 6; ++k) driver->release(k);
  return 0;
}
