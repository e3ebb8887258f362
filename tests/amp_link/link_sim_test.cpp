// The real link thread against the simulated micro on a pty: traffic order, formats, retries, idle.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "sim/micro/micro_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

namespace {

using namespace std::chrono_literals;

using testlib::waitUntil;

// A temporary root with the simulator on <root>/dev/ttyAMA0 and a record ready for the link.
class LinkRig : public ::testing::Test {
 protected:
  testlib::TempRoot root;
  testlib::TestWorks tw;
  Works* w = tw.get();
  sim::MicroSim micro;
  std::thread link;

  void SetUp() override {
    root.activate();
    ASSERT_TRUE(micro.start(root.file("/dev/ttyAMA0")));
    w->running = 1;
    InstallTunerHooks(w);  // as the entry point does: the link runs the tuner's commands
    setFlag(w->setup->EnableLinear, '1');
    w->cpPending = 0;
  }
  void TearDown() override {
    stop();
    micro.stop();
    setRootPrefix("/");
  }
  void start() { link = std::thread(Linear, w); }
  void stop() {
    w->running = 0;
    if (link.joinable()) link.join();
  }
  bool waitReceived(size_t n, std::chrono::milliseconds limit = 20s) {
    return waitUntil([&] { return micro.received().size() >= n; }, limit);
  }
  std::vector<std::string> commandsOnly() { return testlib::withoutPolls(micro.received()); }
};

TEST_F(LinkRig, NothingQueuedAlternatesStatusAndFrequency) {
  start();
  ASSERT_TRUE(waitReceived(6));
  auto r = micro.received();
  std::vector<std::string> head(r.begin(), r.begin() + 6);
  EXPECT_EQ(head, (std::vector<std::string>{"ST;", "FM;", "ST;", "FM;", "ST;", "FM;"}));
  EXPECT_EQ(w->retryTotal.load(), 0);
}

TEST_F(LinkRig, QueuedCommandsGoOnePerStatusReply) {
  w->antennaIdx = 2;
  w->freq = 14070000;
  IncPNTIn_CMDLinear(LIN_MP0, w);
  IncPNTIn_CMDLinear(LIN_SA, w);
  IncPNTIn_CMDLinear(LIN_FA, w);
  start();
  ASSERT_TRUE(waitReceived(8));
  auto r = micro.received();
  std::vector<std::string> head(r.begin(), r.begin() + 8);
  EXPECT_EQ(head, (std::vector<std::string>{"ST;", "MP0;", "ST;", "SA3;", "ST;", "FA00014070000;", "ST;", "FM;"}));
}

TEST_F(LinkRig, BurstSendsBackToBackThenStatus) {
  IncPNTIn_CMDLinear(LIN_MP0, w);
  IncPNTIn_CMDLinear(LIN_CP, w);
  IncPNTIn_CMDLinear(LIN_MP1, w);
  w->cmdBurst = 1;
  start();
  ASSERT_TRUE(waitReceived(6));
  auto r = micro.received();
  std::vector<std::string> head(r.begin(), r.begin() + 6);
  EXPECT_EQ(head, (std::vector<std::string>{"ST;", "MP0;", "CPFFFF;", "MP1;", "ST;", "FM;"}));
  EXPECT_EQ(w->cmdBurst.load(), 0);
}

TEST_F(LinkRig, StartUpSeedingOrderAndReplies) {
  InitMicroCmd(w);
  start();
  ASSERT_TRUE(waitUntil([&] { return commandsOnly().size() >= 15; }, 30s));
  auto c = commandsOnly();
  std::vector<std::string> prefixes;
  for (size_t i = 0; i < 15; ++i) prefixes.push_back(c[i].substr(0, c[i][0] == 'E' ? 6 : 2));
  EXPECT_EQ(prefixes, (std::vector<std::string>{"VS", "ER0000", "ER0001", "ER0002", "MP", "TS", "AN", "SA", "FS", "MT",
                                                "PS", "GM", "GS", "CP", "MR"}));
  EXPECT_EQ(c[0], "VSM;");
  EXPECT_EQ(c[4], "MP0;");
  EXPECT_EQ(c[5], "TS4095409515003700;");
  EXPECT_EQ(c[7], "SA1;");
  EXPECT_EQ(c[8], "FS00001;");
  EXPECT_EQ(c[10], "PS0001100000000000;");
  EXPECT_EQ(c[11], "GM00020100;");
  EXPECT_EQ(c[13], "CPFFFF;");
  EXPECT_EQ(c[14], "MR0;");
  // The replies were decoded on the way.
  ASSERT_TRUE(waitUntil([&] { return w->microResetArmed == 1; }, 5s));
  stop();
  EXPECT_EQ(w->microCfgB.load(), 0x31);  // the 120 W model
  EXPECT_EQ(number_ofStep_meter_FWD.load(), 120);
  EXPECT_EQ(w->cpPending.load(), 0);
  EXPECT_NE(w->microVersion[0], 0);
  EXPECT_EQ(strnlen(w->settingsText, sizeof w->settingsText), 10u);
  EXPECT_EQ(w->retryTotal.load(), 0);
}

TEST_F(LinkRig, TwentyNineQueuedAreAllSentInOrder) {
  testlib::LogCapture log;
  std::vector<int> states;
  const int cycle[] = {LIN_MP0, LIN_MP1, LIN_CP, LIN_SA};
  for (int i = 0; i < kCmdQueueMaxPending; ++i) states.push_back(cycle[i % 4]);
  for (int s : states) ASSERT_EQ(IncPNTIn_CMDLinear(s, w), s);
  EXPECT_EQ(IncPNTIn_CMDLinear(LIN_TS, w), -1);
  EXPECT_TRUE(log.contains("command queue full"));
  w->cmdBurst = 1;  // back to back, to keep the test short
  start();
  ASSERT_TRUE(waitUntil([&] { return commandsOnly().size() >= 29; }, 30s));
  auto c = commandsOnly();
  const char* text[] = {"MP0;", "MP1;", "CPFFFF;", "SA1;"};
  ASSERT_GE(c.size(), 29u);
  for (int i = 0; i < 29; ++i) EXPECT_EQ(c[i], text[i % 4]) << i;
  for (auto& s : c) EXPECT_NE(s.substr(0, 2), "TS");
}

TEST_F(LinkRig, MicroUpdateLeavesTheLinkIdle) {
  IncPNTIn_CMDLinear(LIN_MR1, w);
  IncPNTIn_CMDLinear(LIN_MP0, w);
  start();
  ASSERT_TRUE(waitUntil([&] { return w->linearProcessStatus == LIN_IDLE; }, 10s));
  std::this_thread::sleep_for(1500ms);
  auto r = micro.received();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back(), "MR1;");
  EXPECT_TRUE(w->updateFlags.load() & kUpdFwStarted);
  EXPECT_EQ(w->menuPage.load(), 0);
  EXPECT_EQ(PendingCMDLinear(w), 1);  // "MP0;" waits for the restart
}

TEST_F(LinkRig, GsGoesBackWithTheInterfaceBit) {
  IncPNTIn_CMDLinear(LIN_GS_READ, w);
  IncPNTIn_CMDLinear(LIN_GS_WRITE, w);
  w->ModeWorkIdx = 0;
  start();
  ASSERT_TRUE(waitUntil([&] { return commandsOnly().size() >= 2; }, 10s));
  auto c = commandsOnly();
  ASSERT_EQ(c[0], "GS;");
  ASSERT_EQ(c[1].size(), 13u);
  EXPECT_TRUE(c[1][3] & 0x02);
}

TEST_F(LinkRig, PortThatCannotBeOpenedEndsTheThreadWithPortError) {
  micro.stop();
  setField(w->setup->LinPort, sizeof w->setup->LinPort, "/dev/ttyNONE");
  start();
  link.join();
  EXPECT_EQ(w->portError.load(), 1);
  EXPECT_STREQ(w->portErrorText, "Linear: Unable to open device /dev/ttyNONE");
}

TEST_F(LinkRig, SilentMicroGetsFourTriesThenErrorOncePerHoldOff) {
  micro.injectFault(sim::Fault::Silent);
  start();
  ASSERT_TRUE(waitUntil([&] { return w->retryRestarts >= 1; }, 15s));
  auto t = micro.receivedTimed();
  ASSERT_GE(t.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(t[i].text, "ST;");
  for (int i = 1; i < 4; ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(t[i].at - t[i - 1].at).count();
    EXPECT_GE(gap, 1400) << i;
    EXPECT_LT(gap, 3500) << i;
  }
  EXPECT_TRUE(ExistError(w, kErrorComm));
  {
    std::lock_guard<std::mutex> lk(w->errorMut);
    EXPECT_STREQ(w->errorTable[kErrorComm].line2, "Err ST");
  }
  EXPECT_EQ(w->errorTimer.load(), 2000);
  ASSERT_TRUE(waitReceived(5, 5s));
  EXPECT_EQ(micro.received()[4], "ST;");  // back to the status request

  // A second give-up within the hold-off does not raise the error again.
  DeleteErrore(w, kErrorComm);
  ASSERT_TRUE(waitUntil([&] { return w->retryRestarts >= 2; }, 15s));
  EXPECT_FALSE(ExistError(w, kErrorComm));
}

// Hardening of the link against what the micro and the line can do.

TEST_F(LinkRig, ProtectionHoldsWhateverIsQueuedAfterIt) {
  w->MaxTemperature = 5.0f;  // the simulated heat sink at room temperature is over it
  w->Isteresi1 = 1;
  start();
  ASSERT_TRUE(waitUntil([&] { return ExistError(w, kErrorHighTemp); }, 10s));
  // An auto-tune's closing commands and the attenuator of a band change, after the alarm.
  for (int s : {LIN_MP0, LIN_AT, LIN_AT_TUNE, LIN_MP0}) IncPNTIn_CMDLinear(s, w);
  ASSERT_TRUE(waitUntil([&] { return PendingCMDLinear(w) == 0 && commandsOnly().size() >= 7; }, 10s));
  auto c = commandsOnly();
  EXPECT_EQ(std::vector<std::string>(c.begin(), c.begin() + 3), (std::vector<std::string>{"MP1;", "AT11;", "AB0;"}));
  for (auto& s : c) {
    EXPECT_NE(s, "MP0;");
    if (s.rfind("AT", 0) == 0) {
      EXPECT_EQ(s, "AT11;");
    }
  }
  auto snap = micro.snapshot();
  EXPECT_TRUE(snap.protect);
  EXPECT_EQ(snap.attIndex, 3);
}

TEST_F(LinkRig, SilentMicroFromPowerUpShowsTheLinkError) {
  w->cpPending = 1;  // no "CP" ever came
  micro.injectFault(sim::Fault::Silent);
  start();
  ASSERT_TRUE(waitUntil([&] { return w->retryRestarts >= 1; }, 15s));
  EXPECT_TRUE(ExistError(w, kErrorComm));
  AddErrore(w, kErrorAmpFault);  // the others still wait for the first "CP"
  EXPECT_FALSE(ExistError(w, kErrorAmpFault));
}

TEST_F(LinkRig, MicroResetResendsEverySettingOncePerReset) {
  w->tabVentola = {{0.0f, 40}};
  InitMicroCmd(w);
  start();
  ASSERT_TRUE(waitUntil([&] { return w->microResetArmed == 1 && PendingCMDLinear(w) == 0; }, 30s));
  // What the selection chain had put in the micro.
  w->filterMask = 1 << 3;
  w->Attenuator = 2;
  for (int s : {LIN_SF, LIN_AB0, LIN_AT}) IncPNTIn_CMDLinear(s, w);
  ASSERT_TRUE(waitUntil(
      [&] {
        auto snap = micro.snapshot();
        return PendingCMDLinear(w) == 0 && snap.filterMask == 8 && snap.attIndex == 2 && !snap.bypass;
      },
      10s));
  ASSERT_EQ(micro.snapshot().fanPct, 40);
  micro.clearReceived();
  micro.injectFault(sim::Fault::Reset);
  ASSERT_TRUE(waitUntil(
      [&] {
        auto c = commandsOnly();
        return std::count(c.begin(), c.end(), "FN1040;") == 1 && PendingCMDLinear(w) == 0;
      },
      30s));
  // A few more polls: the reset is answered once, not on every status reply while bit 7 stays.
  ASSERT_TRUE(waitReceived(micro.received().size() + 6));
  auto c = commandsOnly();
  std::vector<std::string> prefixes;
  for (auto& s : c) prefixes.push_back(s.substr(0, s[0] == 'E' ? 6 : 2));
  EXPECT_EQ(prefixes, (std::vector<std::string>{"VS", "ER0000", "ER0001", "ER0002", "MP", "TS", "AN", "SA", "FS", "MT",
                                                "PS", "GM", "GS", "CP", "MR", "SF", "AB", "AT", "FN"}));
  EXPECT_EQ(c[15], "SF3000008;");
  EXPECT_EQ(c[16], "AB0;");
  EXPECT_EQ(c[17], "AT10;");
  auto snap = micro.snapshot();
  EXPECT_EQ(snap.filterMask, 8);
  EXPECT_EQ(snap.fanPct, 40);
  EXPECT_EQ(snap.attIndex, 2);
  EXPECT_FALSE(snap.bypass);
  EXPECT_EQ(snap.faults & 0x80, 0);
  EXPECT_TRUE(ExistError(w, kErrorMicroReset));
}

TEST_F(LinkRig, LateRepliesNeverAnswerTheNextCommand) {
  micro.injectFault(sim::Fault::Slow);  // every reply 2 s late, after the 1.5 s timeout
  IncPNTIn_CMDLinear(LIN_MP0, w);
  IncPNTIn_CMDLinear(LIN_SA, w);
  start();
  ASSERT_TRUE(waitUntil([&] { return w->repliesIgnored >= 1; }, 20s));
  micro.clearFault(sim::Fault::Slow);
  w->antennaIdx = 2;
  ASSERT_TRUE(waitUntil([&] { return PendingCMDLinear(w) == 0 && w->retryCount == 0; }, 20s));
  micro.clearReceived();
  ASSERT_TRUE(waitReceived(6));
  // Back in step: one reply per command, nothing left over to be taken for the next one.
  const int before = w->retryTotal;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(w->retryTotal.load(), before);
}

TEST_F(LinkRig, PortLostRaisesThePortErrorAndANewThreadReopensIt) {
  start();
  ASSERT_TRUE(waitReceived(4));
  micro.stop();  // the device goes away under the open port
  ASSERT_TRUE(waitUntil([&] { return w->portError == 1; }, 10s));
  link.join();  // the thread ended by itself
  EXPECT_STREQ(w->portErrorText, "Linear: device /dev/ttyAMA0 lost");
  EXPECT_EQ(w->linFD.load(), -1);

  // Retry: a new thread opens the port again.
  ASSERT_TRUE(micro.start(root.file("/dev/ttyAMA0")));
  w->portError = 0;
  start();
  ASSERT_TRUE(waitReceived(4));
  EXPECT_EQ(w->portError.load(), 0);
}

TEST_F(LinkRig, HotHeatSinkPutsTheAmplifierInProtectionWithTheFanFlatOut) {
  w->MaxTemperature = 60.0f;
  w->Isteresi1 = 5;
  w->EnableLOGTemp = 0;
  w->tabVentola = {{0.0f, 30}, {50.0f, 100}};
  start();
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().fanPct == 30; }, 10s));
  micro.injectFault(sim::Fault::Hot);
  micro.advance(900);
  ASSERT_TRUE(waitUntil([&] { return ExistError(w, kErrorHighTemp) && PendingCMDLinear(w) == 0; }, 20s));
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().protect; }, 5s));
  auto c = commandsOnly();
  EXPECT_NE(std::find(c.begin(), c.end(), "FN1100;"), c.end());
  EXPECT_NE(std::find(c.begin(), c.end(), "AT11;"), c.end());
  auto snap = micro.snapshot();
  EXPECT_EQ(snap.fanPct, 100);
  EXPECT_EQ(snap.attIndex, 3);
  {
    std::lock_guard<std::mutex> lk(w->errorMut);
    EXPECT_STREQ(w->errorTable[kErrorHighTemp].line2, kErrorTableDefaults[2].line2);
  }
}

// A micro that garbles one byte in fifty: nothing garbled may reach the values the unit acts on.
TEST_F(LinkRig, GarbledRepliesNeverBecomeValues) {
  micro.stop();
  sim::MicroSimOptions o;
  o.garbleRate = 0.02;
  o.faults = {sim::Fault::Garble};
  sim::MicroSim garbling(o);
  ASSERT_TRUE(garbling.start(root.file("/dev/ttyAMA0")));
  w->MaxTemperature = 60.0f;
  w->tabVentola = {{0.0f, 30}, {60.0f, 100}};
  start();
  ASSERT_TRUE(waitUntil([&] { return w->retryTotal >= 40; }, 60s));
  stop();
  garbling.stop();
  EXPECT_EQ(w->freqMeasured.load(), 0u);  // no drive: the counter never read anything
  EXPECT_EQ(w->fanSent.load(), 30);
  EXPECT_FALSE(ExistError(w, kErrorHighTemp));
  EXPECT_GT(w->temp2.load(), 15.0f);
  EXPECT_LT(w->temp2.load(), 45.0f);
  EXPECT_LT(w->swr.load(), 1.01f);
}

TEST_F(LinkRig, ErrorAndOverlongRepliesEndInTheLinkError) {
  for (sim::Fault f : {sim::Fault::Error, sim::Fault::Overlong}) {
    SCOPED_TRACE(sim::faultName(f));
    DeleteErrore(w, kErrorComm);
    w->errorTimer = 0;
    w->retryRestarts = 0;
    micro.clearFaults();
    micro.injectFault(f);
    start();
    ASSERT_TRUE(waitUntil([&] { return w->retryRestarts >= 1; }, 15s));
    stop();
    w->running = 1;
    EXPECT_TRUE(ExistError(w, kErrorComm));
    std::lock_guard<std::mutex> lk(w->errorMut);
    EXPECT_STREQ(w->errorTable[kErrorComm].line2, "Err ST");
  }
}

}  // namespace
