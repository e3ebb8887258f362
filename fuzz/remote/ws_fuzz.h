// Shared set-up of the WebSocket fuzz targets: one record wired as a unit's, a small screen, hooks that
// take what they are given, a root of its own, and a socket pair that plays the peer.
#pragma once
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "remote/websock.h"
#include "ui/fb.h"

namespace wsfuzz {

inline int takeBytes(Works*, const void*, size_t) { return 0; }
inline void takeBlock(Works*, int length, const unsigned char* p) {
  // The receiver reads every byte it was promised.
  volatile unsigned sum = 0;
  for (int i = 0; i < length; ++i) sum = sum + p[i];
}

inline bool neverStops(Works*) { return false; }

inline Works* record() {
  static std::unique_ptr<Works> w = [] {
    // Bank changes write the setup file: into a root of the target's own, with a remount that succeeds.
    static char tmpl[] = "/tmp/korvane-fuzz-ws-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    const std::string root = tmpl;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(tmpl, ec);
    });
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::create_directories(root + "/opt/set");
    std::ofstream(root + "/bin/mount") << "#!/bin/sh\nexit 0\n";
    std::filesystem::permissions(root + "/bin/mount", std::filesystem::perms::owner_all);
    setRootPrefix(root);
    shellInitPath();
    auto p = std::make_unique<Works>();
    WireFuzzRecord(p.get());
    initSetup(p.get());
    p->running = 1;
    p->MAXbank = 20;
    static std::vector<uint8_t> mem(32 * 16 * 4), work(mem.size()), back(mem.size());
    static Screen screen;
    screen.width = 32;
    screen.height = 16;
    screen.pixelSize = 4;
    screen.lineSize = 32 * 4;
    screen.memSize = static_cast<unsigned>(mem.size());
    screen.screenMem = mem.data();
    screen.workBuf = work.data();
    screen.backBuf = back.data();
    p->fb = &screen;
    snprintf(p->wsockPassword, sizeof p->wsockPassword, "tarabumbalin");
    p->hooks.writeCatPort = takeBytes;
    p->hooks.writeSerPort = takeBytes;
    p->hooks.storeParameters = takeBlock;
    p->hooks.storeFFT = takeBlock;
    return p;
  }();
  return w.get();
}

// A connected pair: the bytes are waiting on `in` and the peer has finished sending; what the unit writes
// back goes to `peer` and is never read (a full buffer makes the write fail, as a stalled peer would).
struct Pair {
  Pair(const uint8_t* data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    peer = sv[0], in = sv[1];
    const int big = 1 << 20;
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    fcntl(in, F_SETFL, fcntl(in, F_GETFL) | O_NONBLOCK);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(peer, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);
  }
  ~Pair() {
    close(peer);
    close(in);
  }
  int peer, in;
};

}  // namespace wsfuzz
