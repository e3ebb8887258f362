// The packet link thread against the simulated transceiver on a pty: following, requests,
// forwarding, and the faults of a real cable (cut packet, noise, unplugged, missing).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/setup.h"
#include "core/start/threads.h"
#include "core/works.h"
#include "platform/root.h"
#include "radio/radio.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;

std::mutex g_framesMut;
std::vector<std::string> g_frames;
void captureSpectrum(Works*, const unsigned char* d, int n) {
  std::lock_guard lk(g_framesMut);
  g_frames.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
}

class SerialRig : public ::testing::Test {
 protected:
  testlib::TempRoot root;
  testlib::TestWorks tw;
  Works* w = tw.get();
  sim::TransceiverSim radio;
  std::thread link;

  void SetUp() override {
    root.activate();
    w->running = 1;
    w->cpPending = 0;  // errors are listed from the start
    setFlag(w->setup->EnableSerial, '1');
    setFlag(w->setup->EnableCatSerial, '0');  // work mode 1
    std::lock_guard lk(g_framesMut);
    g_frames.clear();
  }
  void TearDown() override {
    stop();
    radio.stop();
    setRootPrefix("/");
  }
  bool startRadio() { return radio.start(root.file("/dev/ttyUSB1")); }
  void start() { link = std::thread(Serial, w); }
  void stop() {
    w->running = 0;
    if (link.joinable()) link.join();
  }
  SerParam params() {
    SerParam p;
    getParameters(w, &p);
    return p;
  }
  bool freqIs(int32_t hz) {
    return waitUntil([&] { return params().freqCur == hz; }, 5s);
  }
};

TEST_F(SerialRig, FollowsDialVfoModeAndTransmit) {
  ASSERT_TRUE(startRadio());
  start();
  ASSERT_TRUE(freqIs(14070000));
  radio.dial(3573000);
  ASSERT_TRUE(freqIs(3573000));
  EXPECT_EQ(params().freqPrev, 14070000);
  radio.setVfoB(true);
  ASSERT_TRUE(freqIs(7100000));
  EXPECT_EQ(params().freqA, 3573000);
  radio.setMode(6);
  ASSERT_TRUE(waitUntil([&] { return params().modeCur == 6; }, 5s));
  EXPECT_EQ(params().modeA, 1);
  radio.setTx(true);
  ASSERT_TRUE(waitUntil([&] { return params().txOn == 1; }, 5s));
  EXPECT_EQ(radio.command("radio an 1"), "ok an 1");
  ASSERT_TRUE(waitUntil([&] { return params().anRequest == 1; }, 5s));
  EXPECT_EQ(ExistError(w, kErrorBixData), 0);
}

TEST_F(SerialRig, HandShakeRequestsReachTheTransceiverInOrder) {
  ASSERT_TRUE(startRadio());
  start();
  ASSERT_TRUE(freqIs(14070000));
  w->AutoTuneMode = 0x01 | 0x20;  // ask for the tune carrier
  ASSERT_TRUE(waitUntil([&] { return params().txOn == 1; }, 5s));
  EXPECT_EQ(w->AutoTuneMode.load(), 0x41);
  w->AutoTuneMode |= 0x04;  // the run ended: back to receive
  ASSERT_TRUE(waitUntil([&] { return params().txOn == 0; }, 5s));
  EXPECT_EQ(radio.received(), (std::vector<std::string>{"TU120;", "TX2;", "RX;"}));
  EXPECT_EQ(w->AutoTuneMode.load(), 0x49);
}

TEST_F(SerialRig, SpectrumLinesAreRotatedAndForwardedWhenTheyComeOverTheLink) {
  ASSERT_TRUE(startRadio());
  w->hooks.sendWebSockSerSpectrFrame = captureSpectrum;
  setFlag(w->setup->EnableSpectrum, '0');
  sim::RadioState s = radio.state();
  s.offset = 3000;  // 16 bins + 85: the station 3 kHz up is 16 bins nearer the start
  radio.setState(s);
  start();
  // Lines rotate by the offset of the last parameter block: wait for one, then for lines after it
  // (under emulation the first lines may come before the first block).
  ASSERT_TRUE(waitUntil([&] { return params().rxOffset == 3000; }, 10s));
  const uint32_t after = w->serSpectra.load();
  ASSERT_TRUE(waitUntil([&] { return w->serSpectra.load() >= after + 2; }, 10s));
  std::lock_guard lk(g_framesMut);
  ASSERT_FALSE(g_frames.empty());
  EXPECT_EQ(g_frames.back().size(), 1024u);
  // The station at 14074000 Hz sits at bin 512 + 21.3 of the line; rotated by 101 bins.
  const std::string& f = g_frames.back();
  const size_t peak = static_cast<size_t>(
      std::max_element(f.begin(), f.end(),
                       [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); }) -
      f.begin());
  EXPECT_NEAR(static_cast<double>(peak), 512 + 21 - 101, 1.0);
}

TEST_F(SerialRig, CutPacketRaisesError8AndTheNextBlockIsDecoded) {
  ASSERT_TRUE(startRadio());
  radio.setSpectrumEveryMs(0);
  start();
  ASSERT_TRUE(freqIs(14070000));
  radio.fault(sim::RadioFault::Cut);
  radio.dial(7074000);
  ASSERT_TRUE(waitUntil([&] { return ExistError(w, kErrorBixData) != 0; }, 5s));
  EXPECT_EQ(w->errorTimer.load(), 2000);
  // After the pause the transceiver sends its state again, and it is taken whole.
  ASSERT_TRUE(freqIs(7074000));
  EXPECT_GE(w->serDropped.load(), 1u);
}

TEST_F(SerialRig, NoiseOnTheLineNeverStopsTheDecoding) {
  ASSERT_TRUE(startRadio());
  start();
  ASSERT_TRUE(freqIs(14070000));
  radio.fault(sim::RadioFault::Garble);
  for (int i = 0; i < 20; ++i) {
    radio.dial(static_cast<uint32_t>(14000000 + i * 1000));
    std::this_thread::sleep_for(20ms);
  }
  radio.fault(sim::RadioFault::None);
  radio.dial(21074000);
  EXPECT_TRUE(freqIs(21074000));
  EXPECT_EQ(w->running.load(), 1);
}

TEST_F(SerialRig, UnpluggedMidPacketRaisesPortErrorAndEndsTheThread) {
  ASSERT_TRUE(startRadio());
  radio.setSpectrumEveryMs(0);
  start();
  ASSERT_TRUE(freqIs(14070000));
  radio.fault(sim::RadioFault::Cut);
  radio.dial(7074000);
  std::this_thread::sleep_for(100ms);
  radio.fault(sim::RadioFault::Unplug);
  ASSERT_TRUE(waitUntil([&] { return w->portError.load() == 3; }, 5s));
  EXPECT_STREQ(w->portErrorText, "Serial: device /dev/ttyUSB1 lost");
  EXPECT_NE(ExistError(w, kErrorBixData), 0);
  link.join();  // ended by itself, running still 1
  EXPECT_EQ(w->running.load(), 1);
  EXPECT_EQ(w->serFD.load(), -1);
}

TEST_F(SerialRig, MissingPortIsAPortErrorAndRetryReopensIt) {
  testlib::LogCapture log;
  w->hooks.restartRadioLinks = RestartRadioLinks;
  StartThreadBIX(w);
  ASSERT_TRUE(waitUntil([&] { return w->portError.load() == 3; }, 5s));
  EXPECT_STREQ(w->portErrorText, "Serial: Unable to open device /dev/ttyUSB1\n");
  EXPECT_EQ(w->running.load(), 1);  // the amplifier's control goes on
  ASSERT_TRUE(waitUntil([&] { return !thrSer.alive.load(); }, 5s));
  // The cable is plugged in; the operator's Retry.
  ASSERT_TRUE(startRadio());
  w->portError = -1;
  w->hooks.restartRadioLinks(w);
  EXPECT_TRUE(freqIs(14070000));
  w->running = 0;
  joinThread(thrSer);
}

TEST_F(SerialRig, StopsPromptlyWhenItsFlagDropsMidPacket) {
  ASSERT_TRUE(startRadio());
  radio.setSpectrumEveryMs(0);
  start();
  ASSERT_TRUE(freqIs(14070000));
  radio.fault(sim::RadioFault::Cut);
  radio.dial(7074000);
  std::this_thread::sleep_for(200ms);
  const auto t0 = std::chrono::steady_clock::now();
  setFlag(w->setup->EnableSerial, '0');
  link.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_EQ(w->portError.load(), 0);
}

}  // namespace
