// libFuzzer target: any byte stream on the packet link, through the link's own loop (header scan,
// length digits, payload reads, parameter store, spectrum forwarding, requests) until the line ends.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/setup.h"
#include "fuzz/fuzz_record.h"
#include "platform/log.h"
#include "radio/radio.h"

namespace {

void checkSpectrum(Works*, const unsigned char* d, int n) {
  if (n <= 0 || n > 1024 || d == nullptr) __builtin_trap();
}
void checkParams(Works*, const unsigned char* d, int n) {
  if (n < 0 || n > 1999 || (n > 0 && d == nullptr)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Works* w = [] {
    Works* p = FuzzRecord();
    setLogCapture([](int, const std::string&) {});
    p->hooks.sendWebSockSerSpectrFrame = checkSpectrum;
    p->hooks.sendWebSockSerParFrame = checkParams;
    return p;
  }();
  if (size == 0 || size > 60000) return 0;
  const uint8_t mode = data[0];
  w->running = 1;
  setFlag(w->setup->EnableSerial, '1');
  setFlag(w->setup->EnableSpectrum, (mode & 1) ? '0' : '1');
  w->AutoTuneMode = static_cast<uint8_t>(mode & 0x24);
  w->txReqFlags = static_cast<uint8_t>((mode >> 1) & 0x33);
  w->errorTimer = 1;  // no error list traffic
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  int big = 1 << 20;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
  fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
  size_t off = 1;
  while (off < size) {
    const ssize_t n = write(sv[1], data + off, size - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  shutdown(sv[1], SHUT_WR);
  // The loop ends when the line has nothing more to give: the far end has shut its side.
  if (SerialLoop(w, sv[0]) != 1) __builtin_trap();
  close(sv[0]);
  close(sv[1]);
  w->serFD = -1;
  return 0;
}
