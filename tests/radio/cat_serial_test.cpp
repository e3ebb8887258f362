// The FT-817 poll: reply decoding, and the thread against the simulated FT-817 with its faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
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
using testlib::waitUntil;

TEST(DecodeCatSerialCmd, BcdRepliesOnlyAndOnlyForTheReadCommand) {
  testlib::TestWorks w;
  testlib::LogCapture log;
  struct {
    const char* reply;
    int count;
    int pending;
    uint64_t freq;
    int mode;
    bool refused;
  } rows[] = {
      {"\x01\x42\x34\x56\x01", 5, 3, 14234560, 1, false},
      {"\x01\x4A\x34\x56\x02", 5, 3, 14234560, 2, true},  // non-BCD digit: frequency kept
      {"\xA0\x00\x00\x00\x00", 5, 3, 14234560, 0, true},  // first byte beyond 99
      {"\x00\x70\x74\x00\x0C", 5, 3, 7074000, 12, false},
      {"\x00\x35\x73\x00\x08", 5, 0, 7074000, 12, false},  // nothing was asked: ignored
      {"\x00\x35\x73", 3, 3, 7074000, 12, false},          // short: ignored
  };
  for (const auto& r : rows) {
    w->lastCommandSent = r.pending;
    const size_t before = log.count("not decoded");
    DecodeCatSerialCmd(w.get(), reinterpret_cast<const unsigned char*>(r.reply), r.count);
    EXPECT_EQ(w->freqCatSerial.load(), r.freq);
    EXPECT_EQ(w->catMode.load(), r.mode);
    EXPECT_EQ(log.count("CAT FT817 freq not decoded") > before, r.refused);
    EXPECT_EQ(w->lastCommandSent.load(), r.pending == 3 ? 0 : r.pending);
  }
  for (int b = 0; b < 256; ++b)
    EXPECT_EQ(VerifyByteFreq(static_cast<unsigned char>(b)), (b & 0xF) > 9 || b >= 0xA0) << b;
}

// Descriptors of this process open on a device.
int openOn(const std::string& dev) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    char buf[PATH_MAX];
    const ssize_t k = readlink(e.path().c_str(), buf, sizeof buf - 1);
    if (k > 0 && std::string(buf, static_cast<size_t>(k)) == dev) ++n;
  }
  return n;
}

class Ft817Rig : public ::testing::Test {
 protected:
  testlib::TempRoot root;
  testlib::TestWorks tw;
  Works* w = tw.get();
  sim::Ft817Sim rig;
  std::thread poll;

  void SetUp() override {
    root.activate();
    w->running = 1;
    setFlag(w->setup->EnableCatSerial, '1');
    ASSERT_TRUE(rig.start(root.file("/dev/ttyUSB1")));
  }
  void TearDown() override {
    stopPoll();
    rig.stop();
    setRootPrefix("/");
  }
  void start() { poll = std::thread(CatSerial, w); }
  void stopPoll() {
    setFlag(w->setup->EnableCatSerial, '0');
    if (poll.joinable()) poll.join();
  }
  bool freqIs(uint64_t hz) {
    return waitUntil([&] { return w->freqCatSerial.load() == hz; }, 5s);
  }
};

TEST_F(Ft817Rig, FollowsFrequencyAndModeAndClosesItsPortWhenStopped) {
  const std::string slave = std::filesystem::read_symlink(root.file("/dev/ttyUSB1")).string();
  const int before = openOn(slave);
  rig.setFrequency(7074000);
  rig.setMode(sim::kFt817Dig);
  start();
  ASSERT_TRUE(freqIs(7074000));
  EXPECT_EQ(w->catMode.load(), sim::kFt817Dig);
  rig.setFrequency(21074010);
  ASSERT_TRUE(freqIs(21074010));
  EXPECT_EQ(openOn(slave), before + 1);
  stopPoll();
  EXPECT_EQ(openOn(slave), before);
  EXPECT_EQ(w->catSerFD.load(), -1);
}

TEST_F(Ft817Rig, NonBcdRepliesKeepTheFrequencyAndShortOnesAreAskedAgain) {
  testlib::LogCapture log;
  rig.setFrequency(3573000);
  start();
  ASSERT_TRUE(freqIs(3573000));
  rig.fault(sim::Ft817Fault::NonBcd);
  rig.setFrequency(7000000);
  ASSERT_TRUE(waitUntil([&] { return log.contains("CAT FT817 freq not decoded"); }, 5s));
  EXPECT_EQ(w->freqCatSerial.load(), 3573000u);
  rig.fault(sim::Ft817Fault::Short);
  const size_t asked = rig.received().size();
  // Three bytes then silence: after 1.5 s and the 1 s pause the command goes again.
  ASSERT_TRUE(waitUntil([&] { return rig.received().size() >= asked + 2; }, 6s));
  rig.fault(sim::Ft817Fault::None);
  EXPECT_TRUE(freqIs(7000000));
}

TEST_F(Ft817Rig, UnpluggedRigIsPortError2) {
  start();
  ASSERT_TRUE(freqIs(14074000));
  rig.stop();
  ASSERT_TRUE(waitUntil([&] { return w->portError.load() == 2; }, 5s));
  EXPECT_STREQ(w->portErrorText, "CAT: device /dev/ttyUSB1 lost");
  poll.join();
}

TEST(CatSerialPort, MissingDeviceIsPortError2) {
  testlib::TempRoot root;
  root.activate();
  testlib::TestWorks tw;
  tw->running = 1;
  setFlag(tw->setup->EnableCatSerial, '1');
  CatSerial(tw.get());
  EXPECT_EQ(tw->portError.load(), 2);
  EXPECT_STREQ(tw->portErrorText, "CAT: Unable to open device /dev/ttyUSB1");
  setRootPrefix("/");
}

}  // namespace
