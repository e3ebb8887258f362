// Fuzz target for the server's handshake reader: any request completes with a bounded key, or is refused.
#include "fuzz/remote/ws_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = wsfuzz::record();
  wsfuzz::Pair pair(data, size);
  websock::SocketReader in(pair.in, w, wsfuzz::neverStops);
  std::string key;
  if (websock::ReadHandshakeRequest(in, key) == 1) {
    if (key.empty() || key.size() > 64) __builtin_trap();
    if (websock::HandshakeReply(key).find("Sec-WebSocket-Accept: ") == std::string::npos) __builtin_trap();
  }
  return 0;
}
