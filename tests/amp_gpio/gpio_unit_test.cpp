// The GPIO thread in its loop on the real clock, and the whole program with and without its block.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include "amp/amp.h"
#include "platform/monotonic.h"
#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/amp_gpio/gpio_rig.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;

namespace {

std::atomic<int> g_events{0}, g_lastKey{0};
int countKey(Works*, int key, int) {
  g_lastKey = key;
  ++g_events;
  return 0;
}

// The loop on the real clock, with another thread setting one-off codes meanwhile (as the remote
// switch does) and a key pressed through the panel: the press is dispatched, every code is sent,
// and the thread ends when the program stops.
TEST(GpioThread, RunsStopsAndKeepsEveryCode) {
  testlib::TempRoot root;
  testlib::TestWorks w;
  w->setup->EnableGPIO = '1';
  w->hooks.keyEvent = countKey;
  g_events = 0;
  GpioModel model(steadyClock(), gpiotest::panelPath(root));
  GpioPanel outside;
  ASSERT_TRUE(outside.open(root.file("/sim/gpio_panel")));
  outside.setReply(0x95, 0x021);
  outside.setReply(0xA5, 0x042);
  std::thread gpio([&] { gpioRun(w.get(), model, steadyClock()); });

  // Remote on, remote off, each waiting for the previous one to be taken.
  for (int code : {0x95, 0xA5, 0x95, 0xA5}) {
    ASSERT_TRUE(testlib::waitUntil([&] { return w->gpioCode == kGpioCodeNone; }, 5s));
    std::lock_guard<std::mutex> lk(w->gpioMut);
    w->gpioCode = code;
  }
  ASSERT_TRUE(testlib::waitUntil([&] { return w->gpioCode == kGpioCodeNone && outside.lastCode() == 0xA5; }, 5s));
  EXPECT_TRUE(testlib::waitUntil([&] { return w->gpioReading[1] == 0x42; }, 5s));

  outside.setKey(5, true);
  ASSERT_TRUE(testlib::waitUntil([&] { return outside.pressesSeen(5) == 1; }, 5s));
  std::this_thread::sleep_for(50ms);  // a tap: well past the 12 ms debounce, well short of a long press
  outside.setKey(5, false);
  EXPECT_TRUE(testlib::waitUntil([&] { return g_events == 1; }, 5s));
  EXPECT_EQ(g_lastKey, 5);
  EXPECT_EQ(outside.timingFaults(), 0u);

  w->running = 0;
  gpio.join();
}

// The program in a simulated root reads its keys and talks to its peripheral through the model;
// without /dev/mem it ends with status 8 and says why.
TEST(GpioProgram, ModelInASimulatedRootAndExitWithoutDevMem) {
  testlib::TempRoot root;
  ASSERT_TRUE(sim::makeSimRoot(root.path(), {}));
  sim::MicroSim micro;
  ASSERT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
  GpioPanel panel;
  ASSERT_TRUE(panel.open(root.file("/sim/gpio_panel")));
  EXPECT_EQ(panel.reply(sim::kPaVoltageCode), static_cast<uint32_t>(sim::kDefaultPaByte));
  pid_t pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  // The sequence reaches the PA voltage code.
  EXPECT_TRUE(testlib::waitUntil([&] { return panel.exchanges() >= 5; }, 20s)) << panel.exchanges();
  EXPECT_EQ((panel.outputs() >> 16) & 1, 1u);
  EXPECT_EQ((panel.outputs() >> 13) & 1, 1u);
  panel.setKey(2, true);
  EXPECT_TRUE(testlib::waitUntil([&] { return panel.pressesSeen(2) == 1; }, 5s));
  panel.setKey(2, false);
  EXPECT_EQ(panel.timingFaults(), 0u);
  EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 30s), 0);
  const std::string log = testlib::slurp(root.file("/var/log/korvane.log"));
  EXPECT_NE(log.find("GPIO loop start"), std::string::npos);
  EXPECT_NE(log.find("GPIO operations end"), std::string::npos);

  unlink(root.file("/dev/mem").c_str());
  pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  EXPECT_EQ(testlib::stopUnit(pid, 0, 30s), 8);
  EXPECT_NE(testlib::slurp(root.file("/var/log/korvane.log")).find("<3> can't open /dev/mem"), std::string::npos);
  micro.stop();
}

}  // namespace
