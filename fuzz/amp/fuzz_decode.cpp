// libFuzzer target: arbitrary bytes as an amplifier reply, decoded the way the link hands it over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "amp/link.h"
#include "amp/replies.h"
#include "core/setup.h"
#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = FuzzRecord();
  // The link never hands over more than its 500-byte buffer.
  if (size > 500) size = 500;
  // The first byte picks the record's situation, the rest is the reply.
  uint8_t mode = size ? data[0] : 0;
  const uint8_t* body = size ? data + 1 : data;
  size_t len = size ? size - 1 : 0;

  w->tuneState = 0;  // a tune step would need the tune tables; the decoder's own paths are the target
  w->EnableLOGTemp = 0;
  w->cpPending = mode & 1;
  w->EnablePwrPeak = (mode >> 1) & 1;
  w->cmdBurst = (mode >> 2) & 1;
  w->errorResend = (mode >> 3) & 3;
  if (mode & 0x20) IncPNTIn_CMDLinear(LIN_SA, w);

  // Exactly the bytes, NUL-terminated as the link terminates them, in a buffer of their own size.
  std::unique_ptr<char[]> reply(new char[len + 1]);
  if (len) memcpy(reply.get(), body, len);
  reply[len] = 0;
  DecodeCatCmd(w, reply.get(), static_cast<int>(len));

  char status[kStatusBufferLen + 1];
  CreaBufferDiStato(w, status);
  if (strlen(status) > kStatusBufferLen) __builtin_trap();

  while (PopCMDLinear(w) >= 0) {
  }
  return 0;
}
