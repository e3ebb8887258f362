// Two instances of the program on one machine, each in its own simulated root: the remote head connects to
// the station, and both stop promptly with the link up.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <map>

#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/remote_ws/ws_rig.h"
#include "tests/testlib/unit_process.h"

using namespace std::chrono_literals;

namespace {

struct Program {
  explicit Program(std::map<std::string, std::string> setup) {
    sim::RootOptions o;
    o.setup = std::move(setup);
    EXPECT_TRUE(sim::makeSimRoot(root.path(), o));
    micro.start(root.path() + "/dev/ttyAMA0");
    pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    micro.stop();
  }
  std::string log() const { return testlib::slurp(root.path() + "/var/log/korvane.log"); }
  bool logHas(const std::string& text) const {
    return testlib::waitUntil([&] { return log().find(text) != std::string::npos; }, 30s);
  }
  testlib::TempRoot root;
  sim::MicroSim micro;
  pid_t pid = 0;
};

TEST(TwoPrograms, HeadConnectsToTheStationAndBothStopPromptly) {
  const std::string port = std::to_string(testlib::freeSetupPort());
  Program station({{"WebSocket", "1"}, {"TcpPort", port}, {"EnableGPIO", "0"}});
  Program head({{"WebSocket", "2"}, {"TcpPort", port}, {"Server", "127.0.0.1"}, {"EnableGPIO", "0"}});
  ASSERT_TRUE(station.logHas("Receiving data")) << station.log();
  ASSERT_TRUE(head.logHas("Websocket Connected")) << head.log();
  EXPECT_NE(head.log().find("keys correct"), std::string::npos);
  double took = 0;
  EXPECT_EQ(testlib::stopUnit(head.pid, SIGTERM, 20s, &took), 0);
  head.pid = 0;
  EXPECT_LT(took, 5.0);
  EXPECT_TRUE(station.logHas("TCP closed"));
  EXPECT_EQ(testlib::stopUnit(station.pid, SIGTERM, 20s, &took), 0);
  station.pid = 0;
  EXPECT_LT(took, 5.0);
}

}  // namespace
