// Fuzz target: any output of the "my_temp" helper, split into lines as the temperature reader
// does, through the line parser: a temperature taken is always a finite number.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/housekeeping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string out(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  for (int line = 0; pos <= out.size() && line < 64; ++line) {
    size_t nl = out.find('\n', pos);
    const std::string text = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    // The CPU line is read whole, the GPU line ("temp=47.2'C") from its sixth character.
    for (const std::string& field : {text.substr(0, 31), text.size() > 5 ? text.substr(5, 4) : std::string()}) {
      float v = 12345.0f;
      const bool ok = parseNumber(field, v);
      if (ok && !std::isfinite(v)) abort();
      if (!ok && v != 12345.0f) abort();  // a refused line leaves the value alone
    }
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return 0;
}
