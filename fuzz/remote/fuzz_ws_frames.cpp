// Fuzz target for the frame reader and the dispatch: the first byte picks the side (server before or after
// the password, or client), the rest is what the peer sends.
#include <cstring>

#include "fuzz/remote/ws_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Works* w = wsfuzz::record();
  const uint8_t mode = data[0] % 3;
  wsfuzz::Pair pair(data + 1, size - 1);
  w->wsockFD = pair.in;
  w->wsockConnected = mode == 1 ? 1 : 0;
  websock::SocketReader in(pair.in, w, wsfuzz::neverStops);
  static std::vector<uint8_t> buf(kWebSockMaxPayload);
  auto s = std::make_unique<websock::Session>();
  s->server = mode != 2;
  s->authenticated = mode != 0;
  const int bank = w->NumBanco;
  int r = in.skipLineEnds();
  while (r == 1) {
    websock::Frame f;
    int stage = 0;
    r = websock::ReadFrame(in, buf.data(), f, stage);
    if (r != 1) break;
    if (f.data && f.length > kWebSockMaxPayload) __builtin_trap();
    const bool wasIn = s->authenticated;
    websock::Dispatch(w, *s, f);
    // Before the password nothing but the password is acted on.
    if (mode == 0 && !wasIn && w->NumBanco != bank) __builtin_trap();
    if (s->end) break;
  }
  if (strnlen(w->statusText, sizeof w->statusText) >= sizeof w->statusText) __builtin_trap();
  w->wsockFD = -1;
  w->wsockConnected = 0;
  return 0;
}
