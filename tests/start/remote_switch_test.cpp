// Remote operation on and off: which threads start, which flags and files change, no doubled threads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/setup.h"
#include "core/start/threads.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/errors.h"

using namespace std::chrono_literals;
using testlib::LogCapture;
using testlib::TempRoot;
using testlib::TestWorks;

namespace {

bool waitEnded(ThreadHandle& h) {
  for (int i = 0; i < 200 && h.alive; ++i) std::this_thread::sleep_for(10ms);
  return !h.alive;
}

class RemoteSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    // The transceiver's USB device is plugged in, so the spectrum reader keeps running.
    root.write("/sim/usb", "device 2b4d 0e31\n");
  }
  void TearDown() override {
    w->running = 0;
    for (ThreadHandle* h : {&thrScrivi, &thrLeggi, &thrCat, &thrFFT}) joinThread(*h);
  }
  TempRoot root;
  TestWorks w;
};

TEST_F(RemoteSwitch, OnStartsOnlyTheThreadsWhoseFlagsWereOff) {
  setFlag(w->setup->EnableRead, '1');  // saved as on: left alone
  w->remoteThreadsEnded = 1;
  StartThreadCommRemote(w.get());
  EXPECT_EQ(w->remoteThreadsEnded, 0);
  EXPECT_EQ(w->setup->EnableWrite, '1');
  EXPECT_EQ(w->setup->EnableCAT, '1');
  EXPECT_EQ(w->setup->EnableFFT, '1');
  EXPECT_TRUE(thrScrivi.alive);
  EXPECT_TRUE(thrCat.alive);
  EXPECT_TRUE(thrFFT.alive);
  EXPECT_FALSE(thrLeggi.alive);
  EXPECT_EQ(w->gpioCode, 149);
  std::string file = root.read("/opt/set/setup.txt");
  EXPECT_NE(file.find("EnableWrite: 1\n"), std::string::npos);
  EXPECT_NE(file.find("EnableFFT: 1\n"), std::string::npos);
}

// After a power cut the flags are saved as on but nothing runs: every one of them starts.
TEST_F(RemoteSwitch, AtStartTheThreadsSavedAsOnRunToo) {
  setFlag(w->setup->EnableRead, '1');
  setFlag(w->setup->EnableCAT, '1');
  ResumeRemote(w.get());
  for (ThreadHandle* h : {&thrScrivi, &thrLeggi, &thrCat, &thrFFT}) EXPECT_TRUE(h->alive) << h->name;
  for (char f : {w->setup->EnableWrite, w->setup->EnableRead, w->setup->EnableCAT, w->setup->EnableFFT})
    EXPECT_EQ(f, '1');
  EXPECT_EQ(w->gpioCode, 149);
}

TEST_F(RemoteSwitch, OffEndsTheThreadsClearsTheirErrorsAndSaves) {
  StartThreadCommRemote(w.get());
  w->cpPending = 0;  // the micro has answered, so errors are listed
  for (int code : {9, 10, 5, 20, 4}) AddErrore(w.get(), code);
  for (int code : {9, 10, 5, 20, 4}) ASSERT_TRUE(ExistError(w.get(), code)) << code;
  ExitThreadRemote(w.get());
  for (ThreadHandle* h : {&thrScrivi, &thrCat, &thrFFT, &thrLeggi}) EXPECT_TRUE(waitEnded(*h));
  for (int code : {9, 10, 5, 20}) EXPECT_FALSE(ExistError(w.get(), code)) << code;
  EXPECT_TRUE(ExistError(w.get(), kErrorComm));
  EXPECT_EQ(w->gpioCode, 165);
  std::string file = root.read("/opt/set/setup.txt");
  for (const char* k : {"EnableWrite: 0\n", "EnableRead: 0\n", "EnableCAT: 0\n", "EnableFFT: 0\n"})
    EXPECT_NE(file.find(k), std::string::npos) << k;
}

TEST_F(RemoteSwitch, ARestartNeverDoublesAThreadThatIsStillRunning) {
  setFlag(w->setup->EnableWrite, '1');
  StartThreadAudioWrite(w.get());
  ASSERT_TRUE(thrScrivi.alive);
  LogCapture log;
  // Off and on again before the thread has noticed: the running one carries on, no second one.
  setFlag(w->setup->EnableWrite, '0');
  setFlag(w->setup->EnableWrite, '1');
  StartThreadAudioWrite(w.get());
  EXPECT_TRUE(log.contains("th_scrivi thread still running, not started again"));
  // Once it has ended, the starter starts a fresh one.
  setFlag(w->setup->EnableWrite, '0');
  ASSERT_TRUE(waitEnded(thrScrivi));
  setFlag(w->setup->EnableWrite, '1');
  StartThreadAudioWrite(w.get());
  EXPECT_TRUE(thrScrivi.alive);
}

}  // namespace
