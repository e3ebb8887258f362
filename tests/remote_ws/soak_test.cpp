// Many peers come and go, with garbage, half requests and half frames: the server keeps serving and keeps
// no descriptor of any of them.
#include <dirent.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/remote_ws/ws_rig.h"

using namespace std::chrono_literals;
using namespace wsrig;

namespace {

const int kScaled = setenv("KORVANE_STARTUP_SCALE", "0.01", 1);

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

TEST(Soak, ServerKeepsServing) {
  (void)kScaled;
  testlib::TempRoot root;
  root.activate();
  testlib::LogCapture log;
  Unit u('1');
  u->wsockLoginTimeoutMs = 200;
  u.start();
  ASSERT_TRUE(testlib::waitUntil([&] { return u->wsockListenPort != 0; }, 3s));
  const int before = openDescriptors();
  std::mt19937 rng(1234);
  const std::string request = unitRequest("dGhlIHNhbXBsZSBub25jZQ==");
  constexpr int kPeers = 300;
  for (int i = 0; i < kPeers; ++i) {
    RawPeer p(u.port());
    ASSERT_TRUE(p.connected()) << i;
    // The backlog holds one peer: knocking faster than that only measures the kernel's SYN retries.
    ASSERT_TRUE(testlib::waitUntil([&] { return u->wsockAccepted == static_cast<uint32_t>(i + 1); }, 3s)) << i;
    std::string junk(rng() % 3000, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    switch (i % 6) {
      case 0: break;                                                                           // connect and go
      case 1: p.send(junk); break;                                                             // garbage for a request
      case 2: p.send(request.substr(0, rng() % request.size())); break;                        // half a request
      case 3: p.send(request + std::string("\x81\x8c\x01", 3)); break;                         // half a password frame
      case 4: p.send(request + text("tarabumbalin") + std::string("\x82\x7e\x02", 3)); break;  // half a frame
      case 5:
        p.send(request + text("tarabumbalin") + junk);  // garbage after the password
        break;
    }
    // Each peer is gone before the next: the one slot must free itself every time.
  }
  ASSERT_TRUE(testlib::waitUntil([&] { return u->wsockAccepted == static_cast<uint32_t>(kPeers); }, 30s));
  RawPeer good(u.port());
  ASSERT_TRUE(login(good, u));
  sendWebSockStatusFrame(u.get(), "alive", 5);
  InFrame f;
  ASSERT_TRUE(good.readFrame(f));
  EXPECT_EQ(f.payload, "STalive");
  good.closeNow();
  ASSERT_TRUE(testlib::waitUntil([&] { return log.count("TCP closed") == kPeers + 1u; }, 5s));
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_TRUE(u.stop(1000ms));
}

}  // namespace
