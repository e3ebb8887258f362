// The CAT port search among several "TIRMCAT" devices, the relay to the peer and its writes back.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "radio/radio.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/pty.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;
using Kind = sim::CatPortKind;

std::mutex g_mut;
std::vector<std::string> g_cat;
void captureCat(Works*, const char* d, int n) {
  std::lock_guard lk(g_mut);
  g_cat.emplace_back(d, static_cast<size_t>(n));
}
std::vector<std::string> catFrames() {
  std::lock_guard lk(g_mut);
  return g_cat;
}

// The device a descriptor is open on.
std::string fdTarget(int fd) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

class CatRig : public ::testing::Test {
 protected:
  testlib::TempRoot root;
  testlib::TestWorks tw;
  Works* w = tw.get();
  sim::TransceiverSim radio;

  void SetUp() override {
    root.activate();
    w->running = 1;
    w->cpPending = 0;  // errors are listed from the start
    setFlag(w->setup->EnableCAT, '1');
    w->hooks.sendWebSockCatFrame = captureCat;
    std::lock_guard lk(g_mut);
    g_cat.clear();
  }
  void TearDown() override {
    radio.stop();
    if (w->catFD >= 0) close(w->catFD.exchange(-1));
    setRootPrefix("/");
  }
  bool start(std::vector<Kind> kinds) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < kinds.size(); ++i) paths.push_back(root.file("/dev/TIRMCAT" + std::to_string(i)));
    return radio.start(root.file("/dev/ttyUSB1"), paths, kinds);
  }
};

TEST_F(CatRig, ProbeFindsTheOneAnsweringPortAmongThree) {
  ASSERT_TRUE(start({Kind::Noise, Kind::Transceiver, Kind::Silent}));
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(VerifyCAT(w), 0);
  // The silent last port costs one read's wait, the answering one none.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  const std::string slave = std::filesystem::read_symlink(root.file("/dev/TIRMCAT1")).string();
  EXPECT_EQ(fdTarget(w->catFD), slave);
}

TEST_F(CatRig, NoAnsweringPortEndsTheRelayWithError20) {
  ASSERT_TRUE(start({Kind::Silent, Kind::Noise, Kind::Noise}));
  const auto t0 = std::chrono::steady_clock::now();
  Cat(w);
  // Each probe is bounded by time, also on ports that answer a few bytes and then nothing.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4000ms);
  EXPECT_NE(ExistError(w, kErrorRemoteCat), 0);
  EXPECT_EQ(getFlag(w->setup->EnableCAT), '0');
  EXPECT_EQ(w->remoteThreadsEnded.load(), 1);
  EXPECT_EQ(w->catFD.load(), -1);
  EXPECT_EQ(writeCatPort(w, "FA;", 3), -1);  // a peer's text never goes to descriptor 0
}

TEST_F(CatRig, RelaysRepliesToThePeerAndThePeersCommandsToTheTransceiver) {
  ASSERT_TRUE(start({Kind::Silent, Kind::Transceiver}));
  std::thread relay(Cat, w);
  ASSERT_TRUE(waitUntil([&] { return w->status_cat.load() == 1; }, 5s));
  ASSERT_EQ(writeCatPort(w, "FA;MD;", 6), 0);
  ASSERT_TRUE(waitUntil([&] { return catFrames().size() >= 2; }, 5s));
  EXPECT_EQ(catFrames(), (std::vector<std::string>{"FA00014070000;", "MD1;"}));
  ASSERT_EQ(writeCatPort(w, "FA00007074000;FA;", 17), 0);
  ASSERT_TRUE(waitUntil([&] { return catFrames().size() >= 3; }, 5s));
  EXPECT_EQ(catFrames()[2], "FA00007074000;");
  setFlag(w->setup->EnableCAT, '0');
  relay.join();
  EXPECT_EQ(w->catFD.load(), -1);
}

TEST(CatRelay, OverlongReplyIsDroppedAndTheNextOneFramed) {
  testlib::TempRoot root;
  root.activate();
  testlib::TestWorks tw;
  Works* w = tw.get();
  w->running = 1;
  setFlag(w->setup->EnableCAT, '1');
  w->hooks.sendWebSockCatFrame = captureCat;
  {
    std::lock_guard lk(g_mut);
    g_cat.clear();
  }
  testlib::Pty pty;
  ASSERT_EQ(symlink(pty.name.c_str(), root.file("/dev/TIRMCAT0").c_str()), 0);
  // The transceiver's side, written by hand: answer the probe, then 250 bytes without ';'.
  std::thread device([&] {
    char buf[8];
    std::string in;
    while (in.find("DT;") == std::string::npos) {
      const ssize_t n = read(pty.master, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
    }
    const std::string out = "DT001;" + std::string(250, 'x') + "ID019;";
    if (write(pty.master, out.data(), out.size()) < 0) return;
  });
  std::thread relay(Cat, w);
  device.join();
  ASSERT_TRUE(waitUntil([&] { return catFrames().size() >= 1; }, 5s));
  setFlag(w->setup->EnableCAT, '0');
  relay.join();
  EXPECT_EQ(catFrames(), (std::vector<std::string>{std::string(50, 'x') + "ID019;"}));
  setRootPrefix("/");
}

}  // namespace
