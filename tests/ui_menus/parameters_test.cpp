// The parameter list: navigation, each entry's keys, limits, repeats and stores, and the special entries.
#include <functional>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "tests/ui_menus/menus_fixture.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/menu.h"

using Parameters = menutest::Fixture;

namespace {
// Keys of the edit page.
constexpr int kLeft = 2, kRight = 3, kMinus = 4, kPlus = 5, kEnter = 6;

std::string valueText(Works* w, int index) {
  char t[64];
  LoadParameterMenu(w, t, sizeof t, index, 0);
  return t;
}
int calls = 0;
void called(Works*) { ++calls; }
}  // namespace

TEST_F(Parameters, UpFromTheFirstEntryShowsTheLastAndDownWrapsBack) {
  press(5);
  ASSERT_EQ(w->menuPage, kPageParamList);
  EXPECT_EQ(w->paramIndex, 0);
  const int seq[][2] = {{3, 29}, {3, 28}, {4, 29}, {4, 0}, {4, 1}};
  for (auto [key, index] : seq) {
    press(key);
    EXPECT_EQ(w->paramIndex, index);
  }
  EXPECT_STREQ(w->menuPar[29].title, "REMOTE SERVICE");
  EXPECT_EQ(w->menuPar[28].number, 98);
  press(6);
  EXPECT_EQ(w->menuPage, kPageParamEdit);
  press(6);
  EXPECT_EQ(w->menuPage, kPageParamList);
  press(1);
  EXPECT_EQ(w->menuPage, 0);
  EXPECT_EQ(w->paramIndex, 1);  // kept for the next visit
}

// Each row: the entry, its starting value, keys pressed on the edit page and the value text after each.
TEST_F(Parameters, EntriesStepWithinTheirLimits) {
  struct Case {
    const char* what;
    int index;
    std::function<void(Works*)> start;
    std::vector<int> keys;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {"MAX BANK wraps", 0, [](Works* w) { w->MAXbank = 20; }, {kPlus, kMinus, kMinus}, {"2", "20", "19"}},
      {"Point Div up",
       15,
       [](Works* w) { w->PointDiv = 1; },
       {kPlus, kPlus, kPlus, kPlus, kPlus},
       {"2", "5", "10", "20", "20"}},
      {"Point Div down",
       15,
       [](Works* w) { w->PointDiv = 20; },
       {kMinus, kMinus, kMinus, kMinus, kMinus},
       {"10", "5", "2", "1", "1"}},
      {"Target SWR from 0",
       5,
       [](Works* w) { w->SWRescAutoTune = 0; },
       {kPlus, kPlus, kMinus, kMinus},
       {"1.00", "1.01", "1.00", "0.00"}},
      {"Target SWR at 10", 5, [](Works* w) { w->SWRescAutoTune = 10; }, {kPlus, kMinus}, {"10.00", "9.99"}},
      {"Long press low", 25, [](Works*) { TIME_LONG_PRESS = 0.3; }, {kMinus, kPlus}, {"0.3 sec", "0.4 sec"}},
      {"Long press high", 25, [](Works*) { TIME_LONG_PRESS = 5.0; }, {kPlus, kMinus}, {"5.0 sec", "4.9 sec"}},
      {"Alarm at the allowed maximum",
       21,
       [](Works* w) { w->MaxTemperature = 59.9f; },
       {kPlus, kPlus},
       {"60.00", "60.00"}},
      {"Alarm at 20", 21, [](Works* w) { w->MaxTemperature = 20.1f; }, {kMinus, kMinus}, {"20.00", "20.00"}},
      {"Period", 2, [](Works* w) { w->FreqPeriodTime = 20; }, {kMinus, kMinus, kPlus}, {"10", "10", "20"}},
      {"Ref Lev", 13, [](Works* w) { w->RefLevel = -110; }, {kPlus, kMinus, kMinus}, {"-100", "-110", "-120"}},
      {"Ref Pos", 14, [](Works* w) { w->RefPos = 9; }, {kPlus, kPlus, kMinus}, {"10", "10", "9"}},
      {"Offset", 16, [](Works* w) { w->OffsetPlot = 0; }, {kMinus, kPlus, kPlus}, {"-0.10", "0.00", "0.10"}},
      {"Release time", 20, [](Works*) { TimerPeakSec = 4995; }, {kPlus, kPlus, kMinus}, {"5000", "5000", "4990"}},
      {"Release time at 0", 20, [](Works*) { TimerPeakSec = 5; }, {kMinus, kMinus}, {"0", "0"}},
      {"Timeout",
       6,
       [](Works* w) { w->AutoTuneMaxCicli = 0; },
       {kMinus, kPlus, kPlus, kPlus, kPlus, kPlus},
       {"25sec", "20sec", "15sec", "10sec", "5sec", "25sec"}},
      {"Saver", 23, [](Works* w) { w->SaveScreenIdx = 4; }, {kPlus, kMinus, kMinus}, {"5min", "5min", "5min"}},
      {"Force attenuator", 4, [](Works* w) { w->AttenuatorTune = 2; }, {kPlus, kMinus, kLeft}, {"5dB", "0dB", "2dB"}},
      {"Auto tune", 3, [](Works* w) { w->AutoTuneMode = kAtmEnabled | kAtmSettling; }, {kPlus, kRight}, {"Off", "On"}},
      {"ATU installed", 7, [](Works* w) { w->TUNEenabled = 0; }, {kPlus, kMinus}, {"No", "Yes"}},
      {"Input sens", 1, [](Works* w) { w->FreqSensIn = 0; }, {kLeft, kEnter}, {"FQ2", "FQ2"}},
      {"Units", 22, [](Works* w) { w->PowerUnits = 0; }, {kPlus}, {"dBm"}},
      {"Temperature units", 18, [](Works* w) { w->TempMode = 0; }, {kMinus}, {"Fahrenheit"}},
      {"Date", 17, [](Works* w) { w->ViewTimeStr = 1; }, {kRight}, {"OFF"}},
      {"Peak", 19, [](Works* w) { w->EnablePwrPeak = 0; }, {kLeft}, {"ON"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.start(w);
    w->paramIndex = c.index;
    w->menuPage = kPageParamEdit;
    for (size_t i = 0; i < c.keys.size(); ++i) {
      press(c.keys[i]);
      EXPECT_EQ(valueText(w, c.index), c.texts[i]) << "after key " << i;
      if (c.keys[i] == kEnter) w->menuPage = kPageParamEdit;
    }
  }
}

TEST_F(Parameters, HeldKeysRepeatOnlyWhereTheEntryAsksForIt) {
  struct Case {
    int index, key, repeat;
  } cases[] = {{2, kPlus, 1},  {2, kLeft, 0},  {5, kMinus, 1}, {5, kRight, 1}, {16, kLeft, 1}, {20, kRight, 1},
               {21, kLeft, 1}, {21, kPlus, 1}, {0, kPlus, 0},  {15, kPlus, 0}, {25, kPlus, 0}, {17, kPlus, 0}};
  for (const Case& c : cases) {
    w->paramIndex = c.index;
    w->menuPage = kPageParamEdit;
    EXPECT_EQ(longPress(c.key), c.repeat) << "entry " << c.index << " key " << c.key;
  }
}

TEST_F(Parameters, EnterAndTheStoringArrowsWriteTheSetupFile) {
  struct Case {
    int index, key;
    std::function<void(Works*)> change;
    const char* line;
  } cases[] = {
      {0, kLeft, [](Works* w) { w->MAXbank = 7; }, "MAXbank: 7\n"},
      {25, kRight, [](Works*) { TIME_LONG_PRESS = 1.2; }, "BTN_longpress_Time: 12\n"},
      {20, kEnter, [](Works*) { TimerPeakSec = 40; }, "Peak_Time: 40\n"},
      {5, kEnter, [](Works* w) { w->SWRescAutoTune = 1.5f; }, "SWRescAutoTune: 150\n"},
      {21, kEnter, [](Works* w) { w->MaxTemperature = 45.5f; }, "MaxTemperature: 455\n"},
  };
  for (const Case& c : cases) {
    c.change(w);
    w->paramIndex = c.index;
    w->menuPage = kPageParamEdit;
    press(c.key);
    EXPECT_NE(root.read("/opt/set/setup.txt").find(c.line), std::string::npos) << c.line;
  }
  // The frequency counter's settings also go to the micro.
  w->paramIndex = 2;
  w->menuPage = kPageParamEdit;
  drain();
  press(kEnter);
  EXPECT_EQ(drain(), std::vector<int>{LIN_FS});
  // The plot entries are not stored.
  const std::string before = root.read("/opt/set/setup.txt");
  w->paramIndex = 13;
  w->menuPage = kPageParamEdit;
  press(kPlus);
  press(kEnter);
  EXPECT_EQ(root.read("/opt/set/setup.txt"), before);
}

TEST_F(Parameters, RemoteModeChecksItsDevicesAndEnterStartsOrStopsTheThreads) {
  w->paramIndex = 8;
  w->menuPage = kPageParamEdit;
  setFlag(w->setup->EnableSerial, '0');
  // Without the remote checks every device counts as missing.
  press(kPlus);
  EXPECT_EQ(w->remoteMode, 0);
  EXPECT_EQ(w->remoteThreadsEnded, 1);
  for (int code : {kErrorRemoteUsb, kErrorAudioMissing, kErrorBixModeOff}) EXPECT_TRUE(ExistError(w, code)) << code;
  EXPECT_EQ(valueText(w, 8), "Local");
  // All present: remote.
  w->hooks.findRemoteSettings = [](Works*) { return 0; };
  w->hooks.getAudioBIX = [](Works*) { return 1; };
  setFlag(w->setup->EnableSerial, '1');
  press(kMinus);
  EXPECT_EQ(w->remoteMode, 1);
  EXPECT_EQ(w->remoteThreadsEnded, 0);
  EXPECT_EQ(valueText(w, 8), "Remote");
  calls = 0;
  w->hooks.startWebSocket = w->hooks.startRemote = w->hooks.stopRemote = called;
  setFlag(w->setup->WebSocket, '0');
  press(kEnter);
  EXPECT_EQ(getFlag(w->setup->WebSocket), '1');
  EXPECT_EQ(calls, 2);
  w->menuPage = kPageParamEdit;
  press(kPlus);
  EXPECT_EQ(w->remoteMode, 0);
  press(kEnter);
  FlushServiceJobs(w);
  EXPECT_EQ(calls, 3);
  // With the spectrum reader on, no check is made.
  w->hooks.findRemoteSettings = [](Works*) { return 2; };
  setFlag(w->setup->EnableFFT, '1');
  w->menuPage = kPageParamEdit;
  press(kPlus);
  EXPECT_EQ(w->remoteMode, 1);
  EXPECT_FALSE(ExistError(w, kErrorRemoteCat));
}

TEST_F(Parameters, FactoryResetRestoresTheSettingsButNotTheLiveLink) {
  w->MAXbank = 7;
  w->TempMode = 1;
  writeSetup(w);
  root.write("/opt/set/antenna_b3.txt", "!Gen\n");
  root.write("/opt/set/atu_ant1.txt", "");
  w->cpPending = 0;
  w->microCfgB = kMicroCfg120W;
  w->ModeWorkIdx = 1;
  w->freq = 7100000;
  w->paramIndex = 24;
  w->menuPage = kPageParamEdit;
  press(kEnter);  // not requested: nothing happens
  EXPECT_EQ(w->MAXbank, 7);
  w->menuPage = kPageParamEdit;
  press(kPlus);
  EXPECT_EQ(valueText(w, 24), "Set Default");
  press(kEnter);
  EXPECT_EQ(valueText(w, 24), "No Default");
  EXPECT_EQ(w->MAXbank, 20);
  EXPECT_EQ(w->TempMode, 0);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b3.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1.txt"));
  EXPECT_NE(root.read("/opt/set/setup.txt").find("MAXbank: 20\n"), std::string::npos);
  EXPECT_EQ(w->cpPending, 0);
  EXPECT_EQ(w->microCfgB, kMicroCfg120W);
  EXPECT_EQ(w->ModeWorkIdx, 1);
  EXPECT_EQ(w->freq, 7100000u);
  EXPECT_EQ(w->running, 1);
}

TEST_F(Parameters, ServiceEntries) {
  w->menuPage = kPageParamEdit;
  // OFF HW: any key, ENTER included, asks the GPIO thread to switch the hardware off.
  for (int key : {kEnter, kLeft}) {
    w->gpioCode = kGpioCodeNone;
    w->paramIndex = 26;
    w->menuPage = kPageParamEdit;
    press(key);
    EXPECT_EQ(w->gpioCode, 133);
  }
  // FW UPDATE: only when requested.
  w->paramIndex = 27;
  w->menuPage = kPageParamEdit;
  press(kEnter);
  EXPECT_TRUE(drain().empty());
  w->menuPage = kPageParamEdit;
  press(kPlus);
  EXPECT_EQ(valueText(w, 27), "ON");
  press(kEnter);
  EXPECT_EQ(drain(), std::vector<int>{LIN_MR1});
}

// The update script may take minutes: the key returns at once and the script runs meanwhile.
TEST_F(Parameters, LongCommandsRunOffTheKeyThread) {
  root.write("/opt/Korvane/getpack.sh", "#!/bin/sh\nwhile [ ! -e \"" + root.path() +
                                            "/release\" ]; do sleep 0.01; done\necho getpack >> \"" + root.path() +
                                            "/var/log/commands.log\"\n");
  chmod(root.file("/opt/Korvane/getpack.sh").c_str(), 0755);
  w->paramIndex = 28;
  w->menuPage = kPageParamEdit;
  press(kPlus);
  press(kEnter);  // returns while the script waits for the release below
  EXPECT_EQ(commands().find("getpack"), std::string::npos);
  root.write("/release", "");
  FlushServiceJobs(w);
  EXPECT_NE(commands().find("getpack"), std::string::npos);
}

// The model as start-up builds it: numbers, address flags, page labels and long-press marks; a fault
// text the link wrote before the menus were built stays.
TEST_F(Parameters, StartUpBuildsTheModelAndKeepsTheErrorTexts) {
  SetErrorText(w, kErrorAmpFault, 2, "IOUT");
  InitMenuMirt(w);
  EXPECT_STREQ(w->errorTable[kErrorAmpFault].line2, "IOUT");
  EXPECT_EQ(w->paramCount, 30);
  int addresses = 0;
  for (int i = 0; i < kParamCount; ++i) {
    EXPECT_EQ(w->menuPar[i].enabled, 1);
    addresses += w->menuPar[i].sub[0].address;
  }
  EXPECT_EQ(addresses, 4);
  EXPECT_EQ(w->menuPar[9].sub[0].address, 1);
  EXPECT_EQ(w->menuPar[17].number, 50);
  EXPECT_STREQ(w->menuPar[21].sub[0].name, " SET POINT");
  MenuKeysText t;
  const struct {
    int page, key;
    const char* top;
    uint8_t flags;
  } pages[] = {{0, 1, "  MEM", 0x21}, {4, 6, "STARTTX", 0x01}, {5, 5, " Retry", 0},
               {6, 2, " INTERF", 0},  {10, 6, " START", 0},     {11, 2, " BANK", 0}};
  for (const auto& p : pages) {
    CopyPageLabels(w, p.page, &t);
    EXPECT_STREQ(t.top[p.key - 1], p.top) << p.page;
    EXPECT_EQ(t.flags, p.flags) << p.page;
  }
  EXPECT_STREQ(t.bottom[5], "RESET");
}
