// The simulated FT-817 speaks the real protocol: Hamlib's rigctl (model 1020) reads and sets it,
// and what rigctl set is what the unit's poll then reads.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "radio/radio.h"
#include "sim/ft817/ft817_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

namespace {

using namespace std::chrono_literals;

bool haveRigctl() { return std::system("command -v rigctl >/dev/null 2>&1") == 0; }

std::string rigctl(const std::string& port, const std::string& args) {
  const std::string cmd = "timeout 30 rigctl -m 1020 -s 38400 -r '" + port + "' " + args + " 2>/dev/null";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  std::array<char, 256> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

TEST(Rigctl, ReadsAndSetsTheSimulatedFt817AndTheUnitFollows) {
  if (!haveRigctl()) GTEST_SKIP() << "rigctl not installed (Debian package libhamlib-utils): interop not checked";
  testlib::TempRoot root;
  root.activate();
  sim::Ft817Sim rig;
  ASSERT_TRUE(rig.start(root.file("/dev/ttyUSB1")));
  const std::string port = root.file("/dev/ttyUSB1");
  rig.setFrequency(14074000);
  rig.setMode(sim::kFt817Usb);
  EXPECT_EQ(rigctl(port, "f m"), "14074000\nUSB\n2200\n");
  rig.setMode(sim::kFt817Cw);
  EXPECT_EQ(rigctl(port, "f m").substr(0, 12), "14074000\nCW\n");
  // Set by rigctl, read back by rigctl and held by the rig.
  EXPECT_EQ(rigctl(port, "F 7123450 M LSB 0 f m"), "7123450\nLSB\n2200\n");
  EXPECT_EQ(rig.frequency(), 7123450u);
  EXPECT_EQ(rig.mode(), sim::kFt817Lsb);
  EXPECT_EQ(rigctl(port, "T 1 t T 0 t"), "1\n0\n");

  // The unit's poll on the same line reads what rigctl set.
  testlib::TestWorks tw;
  Works* w = tw.get();
  w->running = 1;
  setFlag(w->setup->EnableCatSerial, '1');
  std::thread poll(CatSerial, w);
  EXPECT_TRUE(testlib::waitUntil([&] { return w->freqCatSerial.load() == 7123450; }, 5s));
  EXPECT_EQ(w->catMode.load(), sim::kFt817Lsb);
  setFlag(w->setup->EnableCatSerial, '0');
  poll.join();
  rig.stop();
  setRootPrefix("/");
}

}  // namespace
