// Key dispatch: sequences of key events on the pages, the state they leave and the commands they queue.
#include <atomic>
#include <thread>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/timing.h"
#include "tests/ui_menus/menus_fixture.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/menu.h"

using KeyDispatch = menutest::Fixture;

namespace {
// What the link does to the stand-by state when it sends these commands.
void applyLink(Works* w, const std::vector<int>& states) {
  for (int s : states) {
    if (s == LIN_AB1) w->bypass = 1;
    if (s == LIN_AB0) w->bypass = 0;
  }
}
int counter = 0;
void count(Works*) { ++counter; }
}  // namespace

TEST_F(KeyDispatch, AttenuatorStepsReceivingTransmittingAndInStandBy) {
  struct Step {
    int att;
    int bypass;
    std::vector<int> sent;
    const char* label;
  };
  const Step receiving[] = {{1, 0, {LIN_AT}, "  2dB"},
                            {2, 0, {LIN_AT}, "  3dB"},
                            {3, 0, {LIN_AT}, "  5dB"},
                            {3, 1, {LIN_AB1}, "  StBy"},
                            {0, 0, {LIN_AT, LIN_AB0}, "  0dB"}};
  const Step transmitting[] = {
      {1, 0, {LIN_AT}, "  2dB"}, {2, 0, {LIN_AT}, "  3dB"}, {3, 0, {LIN_AT}, "  5dB"}, {0, 0, {LIN_AT}, "  0dB"}};
  for (bool tx : {false, true}) {
    w->stStatus1 = tx ? kStatus1Tx : 0;
    int i = 0;
    for (const Step& s : tx ? std::vector<Step>(std::begin(transmitting), std::end(transmitting))
                            : std::vector<Step>(std::begin(receiving), std::end(receiving))) {
      SCOPED_TRACE(testing::Message() << (tx ? "transmitting" : "receiving") << " step " << i++);
      EXPECT_EQ(press(2), 0);
      std::vector<int> sent = drain();
      applyLink(w, sent);
      EXPECT_EQ(sent, s.sent);
      EXPECT_EQ(w->Attenuator, s.att);
      EXPECT_EQ(w->bypass, s.bypass);
      EXPECT_EQ(bottom(0, 2), s.label);
    }
  }
  // In stand-by while transmitting nothing can be sent: the key says so.
  w->bypass = 1;
  press(2);
  EXPECT_TRUE(drain().empty());
  EXPECT_TRUE(ExistError(w, kErrorCmdNotAvailable));
  // A long press of the attenuator key does nothing.
  w->bypass = 0;
  w->stStatus1 = 0;
  longPress(2);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(w->Attenuator, 0);
}

TEST_F(KeyDispatch, BankKeyStepsToTheLastBankAndBackToZero) {
  w->MAXbank = 20;
  w->NumBanco = 18;
  for (int expected : {19, 0, 1}) {
    press(1);
    EXPECT_EQ(w->NumBanco, expected);
    EXPECT_EQ(bottom(0, 1), "BANK" + std::to_string(expected));
    EXPECT_NE(root.read("/opt/set/setup.txt").find("NumBanco: " + std::to_string(expected) + "\n"), std::string::npos);
  }
  // With errors listed key 1 clears them instead; the high-temperature alarm alone leaves it its page function.
  AddErrore(w, kErrorTuneTimeout);
  press(1);
  EXPECT_EQ(w->NumBanco, 1);
  EXPECT_EQ(top(0, 1), "  MEM");
}

TEST_F(KeyDispatch, AKeyWhileTheSaverShowsOnlyWakesTheDisplay) {
  const time_t before = wallClockNow();
  for (int key = 1; key <= 6; ++key) {
    for (bool held : {false, true}) {
      w->screenSaverOn = 1;
      w->lastActivity = 0;
      EXPECT_EQ(press(key, held), 0);
      EXPECT_EQ(w->screenSaverOn, 0);
      EXPECT_GE(w->lastActivity, before);
      EXPECT_EQ(w->menuPage, 0);
      EXPECT_EQ(w->statusPage, 0);
      EXPECT_EQ(w->NumBanco, 1);
      EXPECT_EQ(w->antennaIdx, 0);
      EXPECT_EQ(w->meterPage, 1);
      EXPECT_TRUE(drain().empty());
    }
  }
}

TEST_F(KeyDispatch, InformationPageIsLeftByAnyKeyWhichThenDoesNothingElse) {
  for (int key : {1, 2, 3, 4, 5, 6}) {
    SCOPED_TRACE(key);
    longPress(6);
    ASSERT_EQ(w->statusPage, kStatusInfo);
    press(key);
    EXPECT_EQ(w->statusPage, 0);
    EXPECT_EQ(w->menuPage, 0);
    EXPECT_EQ(w->antennaIdx, 0);
    EXPECT_EQ(w->NumBanco, 1);
    EXPECT_EQ(w->meterPage, 1);
    EXPECT_TRUE(drain().empty());
  }
  // Without the page the antenna key does its work.
  press(3);
  EXPECT_EQ(w->antennaIdx, 1);
  EXPECT_EQ(drain(), std::vector<int>{LIN_SA});
}

TEST_F(KeyDispatch, InformationPageStartsThePacketLinkOnlyInWorkModeOne) {
  w->hooks.startThreadBIX = count;
  for (int mode : {0, 2, 1}) {
    counter = 0;
    setFlag(w->setup->EnableSerial, '0');
    w->ModeWorkIdx = mode;
    longPress(6);
    EXPECT_EQ(counter, mode == 1 ? 1 : 0) << mode;
    EXPECT_EQ(getFlag(w->setup->EnableSerial), mode == 1 ? '1' : '0') << mode;
    press(1);
  }
}

TEST_F(KeyDispatch, ManualInductorStopsAt511AndRepeatsWhileHeld) {
  w->menuPage = kPageManualTune;
  WaitSemaforoTuneval(w);
  SetMode(w, 1);
  SetI(w, 509);
  ReadTnePar(w);
  StopSemaforoTuneval(w);
  for (int expected : {510, 511, 511, 511}) {
    EXPECT_EQ(longPress(3), 1);
    EXPECT_EQ(w->tuneL, expected);
    EXPECT_EQ(drain(), std::vector<int>{LIN_MT1});
  }
  EXPECT_EQ(bottom(kPageManualTune, 3), "     511");
  EXPECT_EQ(press(2), 0);  // a tap asks for no repeat
  EXPECT_EQ(w->tuneL, 510);
  for (int i = 0; i < 3; ++i) longPress(4);
  EXPECT_EQ(w->tuneC, 0);
  longPress(5);
  EXPECT_EQ(w->tuneC, 1);
}

TEST_F(KeyDispatch, TunePagesManualPageAlternatesAndASetUpBurstGoesInOrder) {
  press(4);
  ASSERT_EQ(w->menuPage, kPageTune);
  press(6);
  EXPECT_EQ(w->menuPage, kPageManualTune);
  EXPECT_EQ(drain(), std::vector<int>{LIN_MT});
  press(1);  // to the save page, manual tuning active
  EXPECT_EQ(w->menuPage, kPageSaveTune);
  EXPECT_EQ(w->txReqFlags & kManualActive, kManualActive);
  press(1);
  press(4);
  press(6);  // the second press of the manual key does nothing
  EXPECT_EQ(w->menuPage, kPageTune);
  EXPECT_TRUE(drain().empty());
  for (int mode : {1, 0}) {
    w->ModeWorkIdx = mode;
    longPress(6);
    std::vector<int> burst = {LIN_MP0, LIN_CP, LIN_FA, LIN_TS, LIN_AB0, LIN_AN, LIN_SA, LIN_AT};
    if (mode == 0) burst.erase(burst.begin() + 2);
    EXPECT_EQ(drain(), burst) << mode;
  }
}

TEST_F(KeyDispatch, ManualTransmitTogglesTheSharedRequestBits) {
  w->menuPage = kPageManualTune;
  w->stStatus0 = kStatus0AnActive;
  w->anValue = 3;
  press(6);
  EXPECT_EQ(w->txReqFlags, kManualActive | kManualTx | kManualAnForced);
  EXPECT_EQ(w->anValue, 0);
  EXPECT_EQ(drain(), std::vector<int>{LIN_AN});
  EXPECT_EQ(top(kPageManualTune, 6), "StopTX");
  w->txReqFlags |= kManualAnConfirmed;  // the amplifier confirmed
  press(6);
  EXPECT_EQ(w->txReqFlags, kManualActive);
  EXPECT_EQ(top(kPageManualTune, 6), "StartTX");
}

TEST_F(KeyDispatch, SavingABypassTuneIsRefusedUntilATunePageKey) {
  w->menuPage = kPageSaveTune;
  WaitSemaforoTuneval(w);
  SetMode(w, 3);
  ReadTnePar(w);
  StopSemaforoTuneval(w);
  press(6);
  EXPECT_EQ(w->menuPage, kPageTune);
  EXPECT_EQ(w->msgFlags & kMsgBypassNotSaved, kMsgBypassNotSaved);
  press(2);
  EXPECT_EQ(w->msgFlags, 0);
  // Bank and antenna of the save page wrap.
  w->menuPage = kPageSaveTune;
  w->MAXbank = 3;
  w->saveBank = 2;
  w->saveAnt = 2;
  press(2);
  press(3);
  EXPECT_EQ(w->saveBank, 0);
  EXPECT_EQ(w->saveAnt, 0);
  EXPECT_EQ(bottom(kPageSaveTune, 3), "     1");
}

TEST_F(KeyDispatch, ResetPageStepsThroughEveryBankThenAllAndDeletesThem) {
  w->MAXbank = 20;
  w->menuPage = kPageResetBank;
  w->resetBank = 0;
  for (int b = 1; b <= 19; ++b) {
    press(2);
    EXPECT_EQ(bottom(kPageResetBank, 2), "    " + std::to_string(b));
  }
  press(2);
  EXPECT_EQ(w->resetBank, 20);
  EXPECT_EQ(bottom(kPageResetBank, 2), "  ALL");
  press(2);
  EXPECT_EQ(w->resetBank, 0);
  for (int i = 0; i < 20; ++i) press(2);
  root.write("/opt/set/antenna_b3.txt", "!Gen\n");
  root.write("/opt/set/atu_ant2_b19.txt", "");
  root.write("/opt/set/antenna.txt", "!Gen\n");
  press(6);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b3.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b19.txt"));
  EXPECT_FALSE(root.exists("/opt/set/antenna.txt"));
  EXPECT_EQ(w->menuPage, kPageInterface);
  EXPECT_EQ(w->bandIdx, -1);
}

TEST_F(KeyDispatch, DeviceErrorRetryRestartsAndCancelSwitchesTheDeviceOff) {
  struct Case {
    int port, key;
    int started;     // the matching starter ran
    char flagAfter;  // the device's enable flag ('-' when none)
  } cases[] = {{1, 5, 1, '-'}, {1, 6, 1, '-'}, {2, 5, 1, '1'}, {2, 6, 0, '0'},
               {3, 5, 1, '1'}, {3, 6, 0, '0'}, {5, 5, 1, '1'}, {5, 6, 0, '0'}};
  w->hooks.startLinear = w->hooks.startThreadCATserial = w->hooks.startThreadBIX = w->hooks.startFft = count;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "port " << c.port << " key " << c.key);
    setFlag(w->setup->EnableCatSerial, '1');
    setFlag(w->setup->EnableSerial, '1');
    setFlag(w->setup->EnableFFT, '1');
    counter = 0;
    w->portError = c.port;
    w->menuPage = kPageDeviceError;
    press(c.key);
    EXPECT_EQ(w->portError, -1);
    EXPECT_EQ(counter, c.started);
    const char* flag = c.port == 2   ? &w->setup->EnableCatSerial
                       : c.port == 3 ? &w->setup->EnableSerial
                                     : &w->setup->EnableFFT;
    if (c.flagAfter != '-') {
      EXPECT_EQ(getFlag(*flag), c.flagAfter);
    }
  }
  // The other keys of the page do nothing.
  w->portError = 2;
  for (int key : {1, 2, 3, 4}) press(key);
  EXPECT_EQ(w->portError, 2);
}

TEST_F(KeyDispatch, InterfacePageWalksTheBandTableAndEditsACell) {
  longPress(1);
  ASSERT_EQ(w->menuPage, kPageInterface);
  EXPECT_EQ(w->statusPage, kStatusInterface);
  w->numBands = 3;
  w->tabRow = 0;
  press(3);
  EXPECT_EQ(w->tabRow, 2);  // up from the first row goes to the last
  press(4);
  EXPECT_EQ(w->tabRow, 0);
  press(6);
  EXPECT_EQ(w->menuPage, kPageBandEdit);
  EXPECT_EQ(w->tabCol, 0);
  press(2);
  EXPECT_EQ(w->tabCol, 4);
  press(3);
  press(3);
  EXPECT_EQ(w->tabCol, 1);
  w->tabAntenna[0].att = 3;
  press(4);  // plus: after 3 back to 0
  EXPECT_EQ(w->tabAntenna[0].att, 0);
  press(5);  // minus: not below 0
  EXPECT_EQ(w->tabAntenna[0].att, 0);
  press(3);
  press(3);
  w->tabAntenna[0].ant = 1;
  press(5);  // antenna minus: from 1 to 3
  EXPECT_EQ(w->tabAntenna[0].ant, 3);
  press(6);  // saved to the bank's file
  EXPECT_TRUE(root.exists("/opt/set/antenna_b1.txt"));
  w->tabAntenna[0].ant = 2;
  press(1);  // back: the edit is discarded, the file's table comes back
  EXPECT_EQ(w->tabAntenna[0].ant, 3);
  EXPECT_EQ(w->tabCol, -1);
  EXPECT_EQ(w->menuPage, kPageInterface);
  press(1);
  EXPECT_EQ(w->menuPage, 0);
  EXPECT_EQ(w->statusPage, 0);
}

TEST_F(KeyDispatch, KeysOutsideTheirRangeAreIgnoredWithALogLine) {
  testlib::LogCapture log;
  EXPECT_EQ(w->hooks.keyEvent(w, 0, 0), 0);
  EXPECT_EQ(w->hooks.keyEvent(w, 7, 0x7F), 0);
  EXPECT_TRUE(log.contains("no key 7"));
  w->menuPage = 12;
  press(1);
  EXPECT_EQ(w->menuPage, 0);
  EXPECT_TRUE(drain().empty());
}

// The scanner thread presses keys while the supervisor draws the bar: labels, pages and the status
// page are shared without a data race (the thread sanitizer build checks it).
TEST_F(KeyDispatch, KeysAndTheButtonBarShareTheirStateWithoutRaces) {
  MemoryScreen m(800, 480);
  w->fb = &m.s;
  std::atomic<bool> stop{false};
  std::thread drawer([&] {
    while (!stop) {
      std::lock_guard<std::mutex> lk(m.s.drawMut);
      LoadButtons(w);
    }
  });
  const int keys[] = {4, 6, 2, 6, 1, 5, 3, 4, 1, 6};
  for (int i = 0; i < 200; ++i) {
    press(keys[i % 10], i % 7 == 0);
    LabelByPassMirt(w, i % 2 ? "   Bpy" : "   On");
    drain();
  }
  stop = true;
  drawer.join();
  EXPECT_GE(w->menuPage, 0);
  EXPECT_LT(w->menuPage, kMenuPagesUsed);
}
