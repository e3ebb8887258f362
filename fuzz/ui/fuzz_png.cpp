// Fuzz target for the PNG screen loader: any file is loaded whole or refused with the buffer untouched.
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/works.h"
#include "platform/log.h"
#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/png.h"

namespace {

bool g_refused = false;

struct Fixture : MemoryScreen {
  std::vector<uint8_t> pattern;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::string base;
  Fixture() : MemoryScreen(64, 48) {
    pattern.resize(s.memSize);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 37 + 11);
    work = back = mem = pattern;
    works->fb = &s;
    base = "/tmp/kfuzzpng" + std::to_string(getpid());
    snprintf(works->pngName, sizeof works->pngName, "%s", base.c_str());
    setLogCapture([](int level, const std::string&) {
      if (level == LOG_ERR) g_refused = true;
    });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  const std::string file = f.base + ".png";
  FILE* fp = fopen(file.c_str(), "wb");
  if (!fp) return 0;
  fwrite(data, 1, size, fp);
  fclose(fp);
  for (int toBackground : {1, 0}) {
    f.back = f.work = f.mem = f.pattern;
    g_refused = false;
    getPng(f.works.get(), toBackground);
    if (g_refused) {
      if (f.back != f.pattern || f.work != f.pattern || f.mem != f.pattern) abort();
    } else {
      // An accepted image is at least one pixel, written with a fourth byte of 0 at the top left;
      // the other buffer stays as it was and a load to the work buffer is shown.
      const std::vector<uint8_t>& target = toBackground ? f.back : f.work;
      if (target[3] != 0) abort();
      if (toBackground && (f.work != f.pattern || f.mem != f.pattern)) abort();
      if (!toBackground && (f.back != f.pattern || f.mem != f.work)) abort();
    }
  }
  unlink(file.c_str());
  return 0;
}
