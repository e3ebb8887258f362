// End to end in the simulated unit: the real program with the simulated amplifier and transceiver.
// The transceiver's dial moves the unit's frequency, band, filter, thresholds, antenna and tune;
// keying it runs the auto-tune and asks it back to receive; pulling its cable is an error, not a hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "platform/root.h"
#include "sim/ft817/ft817_sim.h"
#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"
#include "tuner/tuner.h"
#include "tuner/tuner_fields.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;

class SimulatedUnit : public ::testing::Test {
 protected:
  testlib::TempRoot root;
  sim::MicroSim micro;
  sim::TransceiverSim radio;
  pid_t pid = 0;

  void SetUp() override {
    sim::RootOptions o;
    o.setup = {{"EnableGPIO", "0"}, {"WebSocket", "0"}, {"EnableKeyb", "0"}, {"AutoTuneMode", "1"}};
    ASSERT_TRUE(sim::makeSimRoot(root.path(), o));
    // Bank 1 follows the paired transceiver; 40 m uses antenna 2, 20 m antenna 1.
    root.write("/opt/set/antenna_b1.txt",
               "!Bix\n80m 3500000 3800000 1 3 0 0 0.0\n40m 7000000 7200000 1 2 0 0 0.0\n"
               "20m 14000000 14350000 1 1 0 0 0.0\n");
    AtuSegment seg;
    const int idx = AtuIdxSearch(7074000, &seg);
    root.write("/opt/set/atu_ant2_b1.txt", std::to_string(idx) + " 7074000 1 2 123 45\n");
    ASSERT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
    radio.setTxListener([this](bool on) {
      micro.setDrive(on ? 5.0 : 0.0);
      micro.setTx(on);
    });
    ASSERT_TRUE(radio.start(root.path() + "/dev/ttyUSB1"));
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    radio.stop();
    micro.stop();
  }
  void start() { pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05"); }
  std::string err() const { return testlib::slurp(root.path() + "/var/log/stderr.txt"); }
  bool received(const std::string& cmd, std::chrono::seconds limit = 30s) {
    return waitUntil(
        [&] {
          const auto r = micro.received();
          return std::find(r.begin(), r.end(), cmd) != r.end();
        },
        limit);
  }
};

TEST_F(SimulatedUnit, DialMovesFrequencyBandFilterThresholdsAntennaAndTune) {
  start();
  ASSERT_TRUE(received("FA00014070000;")) << err();
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().antenna == 1; }, 10s));
  std::this_thread::sleep_for(500ms);
  const sim::MicroSnapshot on20 = micro.snapshot();
  radio.dial(7074000);
  ASSERT_TRUE(received("FA00007074000;")) << err();
  Works probe;
  SetMode(&probe, 2);
  SetI(&probe, 123);
  SetC(&probe, 45);
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().tuneWord == probe.tuneWord; }, 10s)) << err();
  const sim::MicroSnapshot on40 = micro.snapshot();
  EXPECT_EQ(on40.antenna, 2);
  EXPECT_NE(on40.filterMask, on20.filterMask);
  EXPECT_NE(on40.ts, on20.ts);
  EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 20s), 0);
  pid = 0;
}

TEST_F(SimulatedUnit, KeyingRunsTheAutoTuneThenAsksForReceiveAndStoresTheTune) {
  start();
  ASSERT_TRUE(received("FA00014070000;")) << err();
  std::this_thread::sleep_for(1s);
  radio.clearReceived();
  radio.setTx(true);
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto r = radio.received();
        return std::find(r.begin(), r.end(), "RX;") != r.end();
      },
      90s))
      << err();
  EXPECT_FALSE(radio.state().tx);
  EXPECT_FALSE(micro.snapshot().tx);
  // The run stored its result for 20 m on antenna 1.
  AtuSegment seg;
  const int idx = AtuIdxSearch(14070000, &seg);
  EXPECT_TRUE(waitUntil(
      [&] { return root.read("/opt/set/atu_ant1_b1.txt").find(std::to_string(idx) + " ") != std::string::npos; }, 10s))
      << root.read("/opt/set/atu_ant1_b1.txt");
  EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 20s), 0);
  pid = 0;
}

TEST_F(SimulatedUnit, UnpluggedMidPacketIsError8AndThePortErrorAndTheUnitStillStopsCleanly) {
  start();
  ASSERT_TRUE(received("FA00014070000;")) << err();
  radio.setSpectrumEveryMs(0);
  radio.fault(sim::RadioFault::Cut);
  radio.dial(7074000);
  std::this_thread::sleep_for(200ms);
  radio.fault(sim::RadioFault::Unplug);
  ASSERT_TRUE(waitUntil([&] { return err().find("err:8") != std::string::npos; }, 10s)) << err();
  ASSERT_TRUE(waitUntil([&] { return err().find("Serial EXIT") != std::string::npos; }, 10s)) << err();
  double took = 0;
  EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 20s, &took), 0);
  pid = 0;
  EXPECT_LT(took, 8.0);
}

TEST_F(SimulatedUnit, Ft817ModeFollowsTheRigAndLeavesThePacketLinkAlone) {
  root.write("/opt/set/antenna_b1.txt",
             "!817\n80m 3500000 3800000 1 3 0 0 0.0\n40m 7000000 7200000 1 2 0 0 0.0\n"
             "20m 14000000 14350000 1 1 0 0 0.0\n");
  sim::Ft817Sim rig;
  rig.setFrequency(7100000);
  ASSERT_TRUE(rig.start(root.path() + "/dev/ttyUSB2"));
  start();
  ASSERT_TRUE(received("FA00007100000;")) << err();
  rig.setFrequency(3573000);
  ASSERT_TRUE(received("FA00003573000;")) << err();
  EXPECT_TRUE(waitUntil([&] { return micro.snapshot().antenna == 3; }, 10s));
  radio.dial(21074000);  // the paired transceiver is not listened to in this mode
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(received("FA00021074000;", 0s));
  EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 20s), 0);
  pid = 0;
  rig.stop();
}

}  // namespace
