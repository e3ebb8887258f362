// A standard WebSocket client (Python's websockets) talks to the unit's server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tests/remote_ws/ws_rig.h"

using namespace std::chrono_literals;
using namespace wsrig;

namespace {

const int kScaled = setenv("KORVANE_STARTUP_SCALE", "0.01", 1);

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

TEST(StandardClient, PythonWebsockets) {
  (void)kScaled;
  if (system("/usr/bin/python3 -c 'import websockets' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-websockets is not installed (scripts/deps.sh installs it)";
  testlib::TempRoot root;
  root.activate();
  root.standIn("mount", "#!/bin/sh\nexit 0\n");
  testlib::LogCapture log;
  Unit u('1');
  u.start();
  const int bank = u->NumBanco;
  // The supervisor's status frame, every pass while a peer is in.
  std::atomic<bool> done{false};
  std::thread status([&] {
    char buf[53];
    while (!done) {
      memset(buf, 'S', sizeof buf);
      if (u->wsockConnected) sendWebSockStatusFrame(u.get(), buf, 44);
      std::this_thread::sleep_for(10ms);
    }
  });
  const std::string out =
      run("/usr/bin/python3 " KORVANE_WS_SCRIPT " " + std::to_string(u.port()) + " tarabumbalin 2>&1");
  done = true;
  status.join();
  EXPECT_NE(out.find("subprotocol chat"), std::string::npos) << out;
  EXPECT_NE(out.find("status frames 3 44"), std::string::npos) << out;
  EXPECT_NE(out.find("pong"), std::string::npos) << out;
  EXPECT_NE(out.find("closed 1000"), std::string::npos) << out;
  EXPECT_EQ(u->NumBanco, bank + 1);
}

}  // namespace
