// Fuzz target for the client's reader of the handshake reply.
#include "fuzz/remote/ws_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = wsfuzz::record();
  wsfuzz::Pair pair(data, size);
  websock::SocketReader in(pair.in, w, wsfuzz::neverStops);
  const int r = websock::ReadHandshakeReply(in, "dGhlIHNhbXBsZSBub25jZQ==");
  // Only the right accept value lets a reply through.
  if (r == 1 &&
      std::string(reinterpret_cast<const char*>(data), size).find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") == std::string::npos)
    __builtin_trap();
  return 0;
}
