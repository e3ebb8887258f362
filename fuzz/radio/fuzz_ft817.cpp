// libFuzzer target: FT-817 replies of any bytes and length, decoded as the poll decodes them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/log.h"
#include "radio/radio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Works* w = [] {
    Works* p = FuzzRecord();
    setLogCapture([](int, const std::string&) {});
    return p;
  }();
  for (size_t off = 0; off < size; off += 5) {
    const int count = static_cast<int>(std::min<size_t>(5, size - off));
    w->lastCommandSent = 3;
    DecodeCatSerialCmd(w, data + off, count);
    // Eight BCD digits of 10 Hz: never more than 999999990 Hz, always a multiple of 10.
    const uint64_t f = w->freqCatSerial;
    if (f > 999999990u || f % 10 != 0 || w->lastCommandSent != 0) __builtin_trap();
  }
  return 0;
}
