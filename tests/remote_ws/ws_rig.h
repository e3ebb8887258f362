// Test rig of the WebSocket link: a unit's record running the server or the client thread, what its hooks
// received, and a raw peer that speaks bytes on a socket.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "remote/remote.h"
#include "remote/websock.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"
#include "ui/fb.h"

namespace wsrig {

using namespace std::chrono_literals;

// What the transceiver-side hooks of one record were handed.
struct Received {
  std::mutex m;
  std::string cat, ser;
  std::atomic<int> exitCat{0};
  std::atomic<int> catRefuses{0};  // the CAT port refuses writes
  std::vector<std::string> params, spectra;
  std::string catText() {
    std::lock_guard<std::mutex> lk(m);
    return cat;
  }
  std::string serText() {
    std::lock_guard<std::mutex> lk(m);
    return ser;
  }
};

inline std::mutex g_recMut;
inline std::map<const Works*, Received*> g_rec;
inline Received& rec(const Works* w) {
  std::lock_guard<std::mutex> lk(g_recMut);
  return *g_rec.at(w);
}

inline int recCat(Works* w, const void* d, size_t n) {
  Received& r = rec(w);
  std::lock_guard<std::mutex> lk(r.m);
  if (r.catRefuses) return -1;
  r.cat.append(static_cast<const char*>(d), n);
  return 0;
}
inline int recSer(Works* w, const void* d, size_t n) {
  Received& r = rec(w);
  std::lock_guard<std::mutex> lk(r.m);
  r.ser.append(static_cast<const char*>(d), n);
  return 0;
}
inline void recExitCat(Works* w) {
  Received& r = rec(w);
  std::lock_guard<std::mutex> lk(r.m);
  ++r.exitCat;
}
inline void recParams(Works* w, int n, const unsigned char* p) {
  Received& r = rec(w);
  std::lock_guard<std::mutex> lk(r.m);
  r.params.emplace_back(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}
inline void recFft(Works* w, int n, const unsigned char* p) {
  Received& r = rec(w);
  std::lock_guard<std::mutex> lk(r.m);
  r.spectra.emplace_back(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

// A small screen of the unit's 32-bit layout.
struct TestScreen {
  TestScreen(int width, int height) : mem(width * height * 4), work(mem.size()), back(mem.size()) {
    s.width = width;
    s.height = height;
    s.pixelSize = 4;
    s.lineSize = static_cast<unsigned>(width) * 4;
    s.memSize = static_cast<unsigned>(mem.size());
    s.screenMem = mem.data();
    s.workBuf = work.data();
    s.backBuf = back.data();
  }
  std::vector<uint8_t> mem, work, back;
  Screen s;
};

// One unit's record with the server ('1') or client ('2') thread running on it.
struct Unit {
  explicit Unit(char mode) : screen(64, 32) {
    {
      std::lock_guard<std::mutex> lk(g_recMut);
      g_rec[tw.get()] = &received;
    }
    Works* w = tw.get();
    w->running = 1;
    w->MAXbank = 20;
    w->fb = &screen.s;
    w->tcpPort = 0;
    w->wsockLoginTimeoutMs = 10000;
    snprintf(w->serverName, sizeof w->serverName, "127.0.0.1");
    w->hooks.writeCatPort = recCat;
    w->hooks.writeSerPort = recSer;
    w->hooks.exitCat = recExitCat;
    w->hooks.storeParameters = recParams;
    w->hooks.storeFFT = recFft;
    setFlag(w->setup->WebSocket, mode);
  }
  ~Unit() {
    stop();
    std::lock_guard<std::mutex> lk(g_recMut);
    g_rec.erase(tw.get());
  }
  void start() {
    const char mode = getFlag(tw->setup->WebSocket);
    thread = std::thread(mode == '1' ? Wsocket : Wclient, tw.get());
    if (mode == '1') testlib::waitUntil([&] { return tw->wsockListenPort != 0; }, 5s);
  }
  // Ends the thread through its flag, as the remote menu does; true when it ended within the limit.
  bool stop(std::chrono::milliseconds limit = 3000ms) {
    if (!thread.joinable()) return true;
    const char mode = getFlag(tw->setup->WebSocket);
    setFlag(tw->setup->WebSocket, '0');
    const auto t0 = std::chrono::steady_clock::now();
    thread.join();
    setFlag(tw->setup->WebSocket, mode);
    return std::chrono::steady_clock::now() - t0 < limit;
  }
  int port() const { return tw.works->wsockListenPort; }
  // What the screen shows, read under the drawing lock the receiving thread writes it under.
  std::vector<uint8_t> shown() {
    std::lock_guard<std::mutex> lk(screen.s.drawMut);
    return screen.mem;
  }
  Works* operator->() { return tw.get(); }
  Works* get() { return tw.get(); }

  testlib::TestWorks tw;
  Received received;
  TestScreen screen;
  std::thread thread;
};

// Frames as a peer writes them. A text frame always carries its key (the unit's form); masked sets the bit.
inline std::string frame(uint8_t head, const std::string& payload, bool masked, const uint8_t key[4] = nullptr) {
  static const uint8_t kZero[4] = {0, 0, 0, 0};
  const uint8_t* k = key ? key : kZero;
  std::string f(1, static_cast<char>(head));
  const uint8_t maskBit = masked ? 0x80 : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(maskBit | payload.size());
  } else if (payload.size() < 65536) {
    f += static_cast<char>(maskBit | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xFF);
  } else {
    f += static_cast<char>(maskBit | 127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>((static_cast<uint64_t>(payload.size()) >> (8 * i)) & 0xFF);
  }
  const bool keyed = masked || (head & 0x0F) == 1;
  std::string p = payload;
  if (keyed) {
    f.append(reinterpret_cast<const char*>(k), 4);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(p[i] ^ k[i & 3]);
  }
  return f + p;
}
inline std::string text(const std::string& payload, bool masked = false) {
  static const uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};
  return frame(0x81, payload, masked, masked ? kKey : nullptr);
}
inline std::string binary(const std::string& tagAndData, bool masked = false) {
  static const uint8_t kKey[4] = {0x11, 0x22, 0x83, 0xf4};
  return frame(0x82, tagAndData, masked, kKey);
}

// The unit's own client request (no protocol line, two blank lines more).
inline std::string unitRequest(const std::string& key) {
  return "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:6666\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
         "Sec-WebSocket-Key: " +
         key + "\r\nSec-WebSocket-Version: 13\r\n\r\n\r\n";
}

// A frame as the unit sends it (never masked).
struct InFrame {
  uint8_t head = 0;
  std::string payload;
};

// A peer speaking raw bytes to a port on this machine.
class RawPeer {
 public:
  explicit RawPeer(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  explicit RawPeer(int fd, bool) : fd_(fd), connected_(true) {}
  ~RawPeer() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return connected_; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  void closeNow() {
    close(fd_);
    fd_ = -1;
  }
  // Up to n bytes within the limit; fewer when the peer closed (closed() then says so) or time ran out.
  std::string read(size_t n, std::chrono::milliseconds limit = 3000ms) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (!pending_.empty()) {
        const size_t take = std::min(n - out.size(), pending_.size());
        out += pending_.substr(0, take);
        pending_.erase(0, take);
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t r = ::read(fd_, buf, sizeof buf);
      if (r <= 0) {
        closed_ = true;
        break;
      }
      pending_.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // The handshake reply, up to its blank line.
  std::string readReply(std::chrono::milliseconds limit = 3000ms) {
    std::string out;
    while (out.find("\r\n\r\n") == std::string::npos) {
      const std::string c = read(1, limit);
      if (c.empty()) break;
      out += c;
    }
    return out;
  }
  bool readFrame(InFrame& f, std::chrono::milliseconds limit = 3000ms) {
    const std::string h = read(2, limit);
    if (h.size() != 2) return false;
    f.head = static_cast<uint8_t>(h[0]);
    size_t len = static_cast<uint8_t>(h[1]) & 0x7F;
    if (len == 126) {
      const std::string e = read(2, limit);
      if (e.size() != 2) return false;
      len = (size_t(uint8_t(e[0])) << 8) | uint8_t(e[1]);
    }
    f.payload = read(len, limit);
    return f.payload.size() == len;
  }
  // Reads until the unit closes; true when it did within the limit. `extra` gets what came before.
  bool closedWithin(std::chrono::milliseconds limit, std::string* extra = nullptr) {
    const std::string got = read(1 << 20, limit);
    if (extra) *extra = got;
    return closed_;
  }
  bool closed() const { return closed_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string pending_;
};

// A peer let in: handshake, password, and the unit's connected flag up.
inline bool login(RawPeer& p, Unit& u, const std::string& password = "tarabumbalin", bool masked = false) {
  if (!p.connected() || !p.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ==")) || p.readReply().empty()) return false;
  if (!p.send(text(password, masked))) return false;
  return testlib::waitUntil([&] { return u->wsockConnected == 1; }, 3s);
}

}  // namespace wsrig
