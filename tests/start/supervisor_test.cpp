// The supervisor pass on its own: auto-tune hand-shake with the transceiver, screen saver, port error, timers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <ctime>

#include "amp/link.h"
#include "amp/replies.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "platform/timing.h"
#include "radio/radio_fields.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/text.h"

using testlib::TempRoot;
using testlib::TestWorks;

namespace {

class Supervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    root.write("/dev/fb0", "");
    root.write("/dev/fb0.geometry", "800 480 32\n");
    w->fb = fbInit();
    ASSERT_NE(w->fb, nullptr);
    w->cpPending = 0;
    w->ModeWorkIdx = 1;
    w->AutoTuneMode = 0x01;
    w->lastActivity = time(nullptr);
  }
  void TearDown() override { fbClose(w->fb); }
  SerParam tx(bool on) {
    SerParam p;
    p.txOn = on ? 1 : 0;
    return p;
  }
  int drainQueue() {
    int n = 0;
    while (PopCMDLinear(w.get()) >= 0) ++n;
    return n;
  }
  TempRoot root;
  TestWorks w;
  TxTuneWatch watch;
};

TEST_F(Supervisor, TransmissionStartsARunAndTheSettlingClearsItsBits) {
  watch.pass(w.get(), tx(true));
  EXPECT_EQ(w->tuneState, 1);
  EXPECT_EQ(w->AutoTuneMode & 0x02, 0x02);
  EXPECT_EQ(w->txActive, 1);
  // One run per transmission: the run ends while the transceiver still transmits, and no other starts.
  w->tuneState = 0;
  for (int i = 0; i < 5; ++i) watch.pass(w.get(), tx(true));
  EXPECT_EQ(w->tuneState, 0) << "a second run in the same transmission";
  // The run ends and the transceiver went back to receive: ten settling passes, then the bits clear.
  w->tuneState = 0;
  w->AutoTuneMode = 0x01 | 0x02 | 0x08;
  int passes = 0;
  while ((w->AutoTuneMode & 0x08) && passes < 100) {
    watch.pass(w.get(), tx(false));
    ++passes;
  }
  EXPECT_EQ(w->AutoTuneMode, 0x01);
  EXPECT_GE(passes, 11);
  EXPECT_LE(passes, 13);
}

TEST_F(Supervisor, ManualTransmitTestHoldsTheRunBack) {
  w->rxHoldoff = 2;
  watch.pass(w.get(), tx(true));
  watch.pass(w.get(), tx(true));
  EXPECT_EQ(w->tuneState, 0);
  EXPECT_EQ(w->rxHoldoff, 0);
  watch.pass(w.get(), tx(true));
  EXPECT_EQ(w->tuneState, 1);
}

TEST_F(Supervisor, TuneKeyAsksForACarrierOnceTheQueueIsEmptyAndGivesUpWithoutIt) {
  w->AutoTuneMode = 0x01 | 0x10;
  IncPNTIn_CMDLinear(LIN_ST, w.get());
  watch.pass(w.get(), tx(false));
  EXPECT_EQ(w->AutoTuneMode & 0x20, 0) << "asked while commands were still queued";
  drainQueue();
  watch.pass(w.get(), tx(false));
  EXPECT_EQ(w->AutoTuneMode & 0x20, 0x20);
  // The carrier was requested but never came: after 31 passes the run is abandoned with error 14.
  w->AutoTuneMode = 0x01 | 0x10 | 0x40;
  w->tuneState = 1;
  for (int i = 0; i < 30; ++i) watch.pass(w.get(), tx(false));
  EXPECT_FALSE(ExistError(w.get(), kErrorTuneBixAbort));
  watch.pass(w.get(), tx(false));
  EXPECT_TRUE(ExistError(w.get(), kErrorTuneBixAbort));
  EXPECT_EQ(w->tuneState, 0);
  EXPECT_EQ(w->AutoTuneMode & (0x10 | 0x40), 0);
}

TEST_F(Supervisor, AntennaValueFollowsTheTransceiverOnlyInReceive) {
  SerParam p = tx(true);
  p.anRequest = 3;
  w->AutoTuneMode = 0;
  watch.pass(w.get(), p);
  EXPECT_EQ(w->anValue, 0);
  p.txOn = 0;
  watch.pass(w.get(), p);
  EXPECT_EQ(w->anValue, 3);
  EXPECT_EQ(PopCMDLinear(w.get()), LIN_AN);
  watch.pass(w.get(), p);
  EXPECT_EQ(PopCMDLinear(w.get()), -1) << "queued twice";
}

// The saver counts whole minutes since the last key press: the 60-minute choice starts it, and an
// idle time past the hour does not start the count again.
TEST_F(Supervisor, ScreenSaverStartsAfterItsDelay) {
  const struct {
    int idx;
    long idleSeconds;
    bool on;
  } cases[] = {{0, 4 * 60 + 59, false}, {0, 5 * 60, true},      {0, 65 * 60, true},       {1, 9 * 60 + 59, false},
               {1, 10 * 60, true},      {3, 30 * 60 + 1, true}, {4, 59 * 60 + 59, false}, {4, 60 * 60, true},
               {4, 61 * 60, true},      {4, 3 * 3600, true},    {0, -600, false},         {7, 99 * 60, false}};
  w->ModeWorkIdx = 0;
  for (const auto& c : cases) {
    SupervisorState st;
    w->screenSaverOn = 0;
    w->SaveScreenIdx = static_cast<uint8_t>(c.idx);
    w->lastActivity = wallClockNow() - c.idleSeconds;
    timerPass(w.get(), st);
    EXPECT_EQ(w->screenSaverOn, c.on ? 1 : 0) << "choice " << c.idx << ", idle " << c.idleSeconds << " s";
  }
}

TEST_F(Supervisor, ScreenSaverCountsIdleTimeAcross2038) {
  // The last key press before the 32-bit limit of time_t, the passes after it.
  SupervisorState st;
  w->ModeWorkIdx = 0;
  w->SaveScreenIdx = 0;
  shiftWallClock(static_cast<time_t>(2147483647LL + 120) - time(nullptr));
  w->lastActivity = wallClockNow() - 4 * 60;
  timerPass(w.get(), st);
  EXPECT_EQ(w->screenSaverOn, 0);
  w->lastActivity = wallClockNow() - 5 * 60 - 2;
  timerPass(w.get(), st);
  shiftWallClock(0);
  EXPECT_EQ(w->screenSaverOn, 1);
}

TEST_F(Supervisor, PortErrorShowsItsMessageEveryPass) {
  SupervisorState st;
  snprintf(w->portErrorText, sizeof w->portErrorText, "%s", "Linear: Unable to open comm port /dev/ttyAMA0");
  w->portError = 1;
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
  memset(w->fb->backBuf, 0, w->fb->memSize);
  timerPass(w.get(), st);
  EXPECT_EQ(w->menuPage, 5);
  // White text in the message's band of the screen (the background stayed black: no screens here).
  auto whiteInBand = [&] {
    int n = 0;
    for (int y = 270; y < 310; ++y)
      for (int x = 130; x < 700; ++x) n += w->fb->screenMem[y * w->fb->lineSize + x * 4] == 255;
    return n;
  };
  EXPECT_GT(whiteInBand(), 100);
  // The operator's restart clears the error and brings the work image back.
  w->portError = -1;
  timerPass(w.get(), st);
  EXPECT_EQ(w->portError, 0);
  EXPECT_EQ(w->menuPage, 0);
}

// The error screen's background is decoded when the error appears, not on every 10 ms pass: with the
// image missing that is one log line per error instead of a hundred a second.
TEST_F(Supervisor, PortErrorScreenLoadsItsImageOncePerError) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(root.path().c_str()), 0);  // no screens here
  testlib::LogCapture log;
  SupervisorState st;
  w->ModeWorkIdx = 0;
  snprintf(w->portErrorText, sizeof w->portErrorText, "%s", "Linear: Unable to open comm port /dev/ttyAMA0");
  w->portError = 1;
  for (int i = 0; i < 100; ++i) timerPass(w.get(), st);
  EXPECT_EQ(log.count("start.png image could not be opened"), 1u);
  EXPECT_EQ(w->menuPage, 5);
  // The operator restarts the thread, it fails again: a new error, a new load.
  w->portError = -1;
  timerPass(w.get(), st);
  w->portError = 1;
  for (int i = 0; i < 100; ++i) timerPass(w.get(), st);
  EXPECT_EQ(log.count("start.png image could not be opened"), 2u);
  ASSERT_EQ(chdir(cwd), 0);
}

// A board-temperature helper that never answers must not freeze the pass: frequency following and
// the screen go on while it hangs, and ending the supervisor (as on SIGTERM) ends the helper with it.
// The port-error screen as the operator sees it, kept as a reference image: the start screen with
// "Error! <port message>" in white at (130, 300). It stays the same pass after pass.
TEST_F(Supervisor, PortErrorScreenMatchesItsReferenceImage) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(KORVANE_SOURCE_DIR "/assets/screens"), 0);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
  SupervisorState st;
  w->ModeWorkIdx = 0;
  snprintf(w->portErrorText, sizeof w->portErrorText, "%s", "Linear: Unable to open comm port /dev/ttyAMA0");
  w->portError = 1;
  for (int i = 0; i < 3; ++i) timerPass(w.get(), st);
  ASSERT_EQ(chdir(cwd), 0);
  const Screen* s = w->fb;
  EXPECT_EQ(testlib::compareWithReference(testlib::imageOfBuffer(s->screenMem, s->width, s->height, s->lineSize),
                                          KORVANE_SOURCE_DIR "/tests/start/reference/port-error.png",
                                          {{"title", 0, 0, 800, 260},
                                           {"error message", 0, 260, 800, 350},
                                           {"error tiles", 0, 365, 800, 420},
                                           {"key bar", 0, 420, 800, 480}}),
            "");
}

TEST_F(Supervisor, HungTemperatureHelperHoldsUpNeitherThePassesNorTheStop) {
  using namespace std::chrono_literals;
  const std::string pidFile = root.file("/helper.pid");
  root.standIn("my_temp", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 600\n");
  auto unstick = [&] {
    if (pid_t p = testlib::pidFromFile(pidFile)) kill(p, SIGKILL);
  };
  w->ModeWorkIdx = 0;
  w->freqMeasured = 14070000;
  std::atomic<bool> passesDone{false};
  const bool stopped = testlib::returnsWithin(
      [&] {
        SupervisorState st;
        timerPass(w.get(), st);  // asks for the temperature
        if (!testlib::waitUntil([&] { return testlib::pidFromFile(pidFile) != 0; }, 10000ms)) return;
        w->freqMeasured = 7050000;
        for (int i = 0; i < 5; ++i) timerPass(w.get(), st);
        passesDone = true;
      },  // the state goes here, with the helper still hanging
      20s, unstick);
  EXPECT_TRUE(passesDone) << "the passes waited for the helper";
  EXPECT_TRUE(stopped) << "the supervisor's end waited for the helper";
  EXPECT_EQ(w->lastFreq, 7050000) << "frequency following stopped";
  const pid_t helper = testlib::pidFromFile(pidFile);
  ASSERT_NE(helper, 0);
  EXPECT_TRUE(testlib::waitUntil([&] { return testlib::processGone(helper); }, 5000ms))
      << "the helper outlived the supervisor";
}

TEST_F(Supervisor, HoldOffsAgeByTheElapsedTimeIncludingFractions) {
  SupervisorState st;
  w->errorTimer = 10;
  for (int i = 0; i < 40; ++i) timerAge(w.get(), st, 0.25);
  EXPECT_EQ(w->errorTimer, 0);
  w->errorTimer = 10;
  timerAge(w.get(), st, 3.6);
  EXPECT_EQ(w->errorTimer, 7);
}

// Each work mode takes the frequency from its own source; only a transceiver link tells the amplifier
// the frequency ("FA"), and modes 0 and 2 clear a pending antenna-network value with one "AN".
TEST_F(Supervisor, FrequencySourceAndTheCommandsOfEachWorkMode) {
  const struct {
    int mode;
    bool fa;
  } cases[] = {{0, false}, {2, true}};
  for (const auto& c : cases) {
    SupervisorState st;
    drainQueue();
    w->ModeWorkIdx = c.mode;
    w->freqMeasured = 7050000;
    w->freqCatSerial = 7050000;
    w->lastFreq = 14070000;
    w->anValue = 2;
    timerPass(w.get(), st);
    EXPECT_EQ(w->freq, 7050000u);
    EXPECT_EQ(w->lastFreq, 7050000u) << "mode " << c.mode << ": the selection chain did not run";
    EXPECT_EQ(w->anValue, 0);
    int fa = 0, an = 0;
    for (int cmd; (cmd = PopCMDLinear(w.get())) >= 0;) {
      fa += cmd == LIN_FA;
      an += cmd == LIN_AN;
    }
    EXPECT_EQ(fa, c.fa ? 1 : 0) << "mode " << c.mode;
    EXPECT_EQ(an, 1) << "mode " << c.mode;
    timerPass(w.get(), st);
    EXPECT_EQ(PopCMDLinear(w.get()), -1) << "mode " << c.mode << ": commands again without a change";
  }
}

// The pass ages both peak holds by the elapsed time it is given (the loop measures it on the wall clock).
TEST_F(Supervisor, PeakHoldsAgeWithThePass) {
  SupervisorState st;
  w->peakFwdHold = 3000;
  w->peakRightHold = 500;
  for (int i = 0; i < 100; ++i) timerAge(w.get(), st, 10.0);
  EXPECT_EQ(w->peakFwdHold, 2000);
  EXPECT_LE(w->peakRightHold, 0);
}

// A connected peer gets the first 44 characters of the status buffer as one "ST" frame each pass;
// without a peer nothing is written.
TEST_F(Supervisor, StatusFrameGoesToAConnectedPeerOnly) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  w->wsockFD = sv[0];
  w->ModeWorkIdx = 0;
  SupervisorState st;
  unsigned char got[256];
  timerPass(w.get(), st);
  EXPECT_EQ(read(sv[1], got, sizeof got), -1) << "sent while no peer was connected";
  w->wsockConnected = 1;
  w->portError = 1;  // the error screen still sends the status
  timerPass(w.get(), st);
  char status[kStatusBufferLen + 1];
  CreaBufferDiStato(w.get(), status);
  ASSERT_EQ(read(sv[1], got, sizeof got), 48);
  EXPECT_EQ(got[0], 0x82);
  EXPECT_EQ(got[1], 46);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got) + 2, 2), "ST");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got) + 4, 44), std::string(status, 44));
  close(sv[0]);
  close(sv[1]);
}

}  // namespace
