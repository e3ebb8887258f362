// libFuzzer target: the GPIO scanner and exchange on the register model, its panel file and key sequence from the
// input.
#include <fcntl.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "amp/gpio.h"
#include "core/setup.h"
#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/gpio_model.h"
#include "tests/testlib/test_clock.h"

namespace {

int g_key = 0;  // the key whose events may repeat

// Every event names a key 1 to 6; a held event's mask holds that key and no bit beyond six keys.
int checkEvent(Works*, int key, int mask) {
  if (key < 1 || key > 6) __builtin_trap();
  if (mask & ~0x3F) __builtin_trap();
  if (mask && !(mask & (1 << (key - 1)))) __builtin_trap();
  return key == g_key ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char t[] = "/tmp/korvane-fuzz-gpio-XXXXXX";
    const int fd = mkstemp(t);
    if (fd >= 0) close(fd);
    return std::string(t);
  }();
  // The panel file: the input's first half laid over it, with our mark so the model keeps them.
  const size_t head = size / 2 < sizeof(GpioPanelWords) ? size / 2 : sizeof(GpioPanelWords);
  {
    GpioPanelWords words{};
    memcpy(&words, data, head);
    words.magic = GpioPanel::kMagic;
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0600);
    if (fd < 0) return 0;
    if (write(fd, &words, sizeof words) != static_cast<ssize_t>(sizeof words)) {
      close(fd);
      return 0;
    }
    close(fd);
  }
  auto w = std::make_unique<Works>();
  WireFuzzRecord(w.get());
  InitGlobalVar(w.get());
  w->hooks.keyEvent = checkEvent;
  testlib::TestClock clock;
  GpioModel model(clock, path);
  GpioScanner s{model, clock, {}};
  gpioConfigurePins(model, clock);
  g_key = size ? data[0] % 7 : 0;
  // The rest: one byte a pass: the keys held, sometimes a one-off code, sometimes a long pause.
  for (size_t i = head; i < size && i < head + 4096; ++i) {
    const uint8_t b = data[i];
    for (int k = 1; k <= 6; ++k) model.panel().setKey(k, (b >> (k - 1)) & 1);
    if ((b & 0xC0) == 0x40) {
      std::lock_guard<std::mutex> lk(w->gpioMut);
      w->gpioCode = b;
    }
    if ((b & 0xC0) == 0xC0) clock.advance(static_cast<int64_t>(b & 0x3F) * 50000);
    gpioPass(w.get(), s);
    clock.sleepUs(kPassUs);
    if (s.keys.tracked & ~0x3F) __builtin_trap();
    if (s.keys.repeatCount < 0) __builtin_trap();
  }
  return 0;
}
