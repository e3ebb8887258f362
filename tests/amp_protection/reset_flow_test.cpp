// Tests of the error list's reset flow: key 1, the protection reset sequence, the follow-up and the remote restart.
#include <gtest/gtest.h>

#include <vector>

#include "amp/link.h"
#include "amp/protection.h"
#include "amp/reset_flow.h"
#include "core/setup.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/errors.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  for (int s; (s = PopCMDLinear(w)) >= 0;) out.push_back(s);
  return out;
}

std::vector<int> listed(Works* w) {
  int codes[32];
  int n = ErrorListSnapshot(w, codes, 32);
  return std::vector<int>(codes, codes + n);
}

class ResetFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    w->cpPending = 0;
    w->bypass = 0;
  }
  testlib::TestWorks w;
};

std::vector<int> g_started;
void startWrite(Works*) { g_started.push_back(1); }
void startRead(Works*) { g_started.push_back(2); }
void startCat(Works*) { g_started.push_back(3); }
void startFft(Works*) { g_started.push_back(4); }

}  // namespace

TEST_F(ResetFlow, ResetSequenceOrder) {
  w->stFaults = 0x01;
  w->bypass = 1;
  ResetBiasCmd(w.get());
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_CP, LIN_MP0, LIN_AB1, LIN_AT}));

  w->stFaults = 0;
  w->stStatus1 = 0x2;  // the alarm bit alone also clears the protections
  w->bypass = 0;
  ResetBiasCmd(w.get());
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_CP, LIN_MP0, LIN_AB0, LIN_AT}));

  w->stStatus1 = 0x1;
  ResetBiasCmd(w.get());
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP0, LIN_AB0, LIN_AT}));
}

TEST_F(ResetFlow, MicroResetReplaysTheStartUpSeeding) {
  w->stFaults = 0x80;
  w->bypass = 1;
  ResetBiasCmd(w.get());
  auto q = drainQueue(w.get());
  ASSERT_GE(q.size(), 6u);
  EXPECT_EQ(q.front(), LIN_CP);
  EXPECT_EQ(q[1], LIN_VSM);  // the seeding starts with the version request
  EXPECT_EQ((std::vector<int>(q.end() - 3, q.end())), (std::vector<int>{LIN_MP0, LIN_AB1, LIN_AT}));
}

TEST_F(ResetFlow, KeyActsNormallyWithNothingListed) {
  EXPECT_EQ(GPIO_Errori(w.get()), 0);
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

TEST_F(ResetFlow, HighTemperatureFirstLeavesTheKeyItsPageFunction) {
  AddErrore(w.get(), kErrorHighTemp);
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 0);
  EXPECT_EQ(GPIO_Errori(w.get()), 0);
  EXPECT_EQ(listed(w.get()), std::vector<int>{kErrorHighTemp});
  EXPECT_TRUE(drainQueue(w.get()).empty());

  // With another code behind it the label turns to RESET, but with no flag pending the press still
  // belongs to the page because the alarm is the oldest entry.
  AddErrore(w.get(), kErrorComm);
  w->errorFlags = 0;
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 1);
  EXPECT_EQ(GPIO_Errori(w.get()), 0);
  EXPECT_EQ(listed(w.get()), (std::vector<int>{kErrorHighTemp, kErrorComm}));
}

TEST_F(ResetFlow, PendingWarningsAreClearedByOnePress) {
  AddErrore(w.get(), kErrorHighTemp);
  AddErrore(w.get(), kErrorComm);  // a temporary warning sets errorFlags bit 2
  EXPECT_EQ(GPIO_Errori(w.get()), 1);
  EXPECT_EQ(listed(w.get()), std::vector<int>{kErrorHighTemp});
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_EQ(GPIO_Errori(w.get()), 0);  // now only the alarm: the key is the page's again
}

TEST_F(ResetFlow, TuneWarningsGoWithOneReset) {
  AddErrore(w.get(), kErrorTuneTimeout);
  AddErrore(w.get(), kErrorTuneSwr);
  EXPECT_EQ(w->errorFlags, kErrFlagWarnings);
  EXPECT_EQ(GPIO_Errori(w.get()), 1);
  EXPECT_TRUE(listed(w.get()).empty());
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_TRUE(drainQueue(w.get()).empty());  // warnings need no amplifier command
}

TEST_F(ResetFlow, ProtectiveErrorResetsBiasThenFollowUpClearsTheList) {
  w->stStatus1 = 0x2;
  w->bypass = 0;
  AddErrore(w.get(), kErrorAmpAlarm);
  AddErrore(w.get(), kErrorAudioRead);
  EXPECT_EQ(w->errorFlags, kErrFlagBiasReset);
  EXPECT_EQ(GPIO_Errori(w.get()), 1);
  EXPECT_EQ(w->cmdBurst, 1);
  EXPECT_EQ(w->errorResend, 1);
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_CP, LIN_MP0, LIN_AB0, LIN_AT}));
  EXPECT_EQ(listed(w.get()),
            (std::vector<int>{kErrorAmpAlarm, kErrorAudioRead}));  // nothing leaves before the micro answers

  // The status reply after the burst: the follow-up clears the list and marks the display cleared.
  w->stStatus1 = 0;
  GestErroreSerial(w.get());
  EXPECT_TRUE(listed(w.get()).empty());
  EXPECT_TRUE(w->errorFlags & kErrFlagDisplayCleared);
}

TEST_F(ResetFlow, PlainErrorsAreResetAndRemoved) {
  AddErrore(w.get(), kErrorAudioRead);  // no flag bits
  AddErrore(w.get(), kErrorWebSocket);
  EXPECT_EQ(w->errorFlags, 0);
  EXPECT_EQ(GPIO_Errori(w.get()), 1);
  EXPECT_TRUE(listed(w.get()).empty());
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP0, LIN_AB0, LIN_AT}));
}

TEST_F(ResetFlow, FollowUpRemovesTuneWarningsOnly) {
  AddErrore(w.get(), kErrorAudioRead);
  AddErrore(w.get(), kErrorTuneBixAbort);
  w->errorFlags = 0;
  ClearDisplayError(w.get());
  EXPECT_EQ(listed(w.get()), std::vector<int>{kErrorAudioRead});
  EXPECT_EQ(w->errorFlags, kErrFlagDisplayCleared);
}

TEST_F(ResetFlow, RemoteRestartStartsOnlyStoppedThreads) {
  g_started.clear();
  w->hooks.startAudioWrite = startWrite;
  w->hooks.startAudioRead = startRead;
  w->hooks.startCat = startCat;
  w->hooks.startFft = startFft;
  setFlag(w->setup->EnableWrite, '0');
  setFlag(w->setup->EnableRead, '1');
  setFlag(w->setup->EnableCAT, '0');
  setFlag(w->setup->EnableFFT, '1');

  w->remoteMode = 1;
  w->remoteThreadsEnded = 0;
  GestErroreRemote(w.get());  // the remote threads did not end: nothing to restart
  EXPECT_TRUE(g_started.empty());

  w->remoteThreadsEnded = 1;
  GestErroreRemote(w.get());
  EXPECT_EQ(g_started, (std::vector<int>{1, 3}));
  EXPECT_EQ(w->remoteThreadsEnded, 0);
  EXPECT_EQ(getFlag(w->setup->EnableWrite), '1');
  EXPECT_EQ(getFlag(w->setup->EnableCAT), '1');

  g_started.clear();
  w->remoteMode = 0;
  w->remoteThreadsEnded = 1;
  GestErroreRemote(w.get());
  EXPECT_TRUE(g_started.empty());
}
