// Tests of the thermistor conversion, calibration lookup, fan table and step, over-temperature latch and attenuator.
#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>
#include <cmath>
#include <string>
#include <vector>

#include "amp/link.h"
#include "amp/protection.h"
#include "amp/reset_flow.h"
#include "core/housekeeping.h"
#include "core/works.h"
#include "platform/config_file.h"
#include "tests/testlib/temp_root.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  for (int s; (s = PopCMDLinear(w)) >= 0;) out.push_back(s);
  return out;
}

void setTemps(Works* w, float t1, float t2) {
  w->temp1 = t1;
  w->temp2 = t2;
}

// The three-step table of the fan examples.
void threeStepTable(Works* w) {
  w->tabVentola = ParseVentolaText("30 20\n45 60\n60 100\n");
  w->Isteresi2 = 1;
}

}  // namespace

TEST(CalcolaTemp, ReferencePointsAndClamp) {
  EXPECT_NEAR(CalcolaTemp(2048), 25.0f, 0.05f);  // R = 10.005 kΩ
  EXPECT_FLOAT_EQ(CalcolaTemp(0), 80.0f);        // R = 0
  EXPECT_FLOAT_EQ(CalcolaTemp(4095), -10.0f);    // open thermistor
  // Interpolated inside a 5 °C step: R = 3.231 kΩ lies between 50 °C (3.635) and 55 °C (3.02).
  EXPECT_NEAR(CalcolaTemp(1000), 53.28f, 0.02f);
  // Readings a 12-bit converter cannot give stay inside the clamp.
  EXPECT_FLOAT_EQ(CalcolaTemp(9999), -10.0f);
  EXPECT_FLOAT_EQ(CalcolaTemp(-5), 80.0f);
}

TEST(CalcolaTemp, FallsAsTheReadingRises) {
  float prev = CalcolaTemp(0);
  for (int r = 1; r <= 4095; ++r) {
    float t = CalcolaTemp(r);
    ASSERT_LE(t, prev) << "reading " << r;
    ASSERT_GE(t, -10.0f);
    ASSERT_LE(t, 80.0f);
    prev = t;
  }
}

TEST(SearchK, DefaultsWithoutCalibrationRows) {
  testlib::TestWorks w;
  EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 5.1565789e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 1), 3.3262754e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 2), 5.5078103e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 3), -0.007f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 4), 1.0f);
}

TEST(SearchK, RowGoverningTheFrequency) {
  testlib::TestWorks w;
  ConfigRow a, b, c;
  a.freqStart = 1800000, a.K0 = 1e-6f, a.K1 = 2e-6f, a.K2 = 3e-6f, a.K3 = -0.01f;
  b.freqStart = 7000000, b.K0 = 4e-6f, b.K1 = 5e-6f, b.K2 = 6e-6f, b.K3 = -0.02f;
  c.freqStart = 30000000;
  w->configRows = {a, b, c};
  w->numConfigRows = 3;
  w->freq = 3500000;
  EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 1e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 3), -0.01f);
  w->freq = 7000000;  // a row's own start belongs to it
  EXPECT_FLOAT_EQ(SearchK(w.get(), 1), 5e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 2), 6e-6f);
  w->freq = 30000000;  // the last row only bounds the one before it
  EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 1.0f);
  w->freq = 1000000;  // below the first row
  EXPECT_FLOAT_EQ(SearchK(w.get(), 3), 1.0f);
}

TEST(VentolaFile, ParsesCommentsCarriageReturnsAndCutsTheStep) {
  auto tab = ParseVentolaText("; temperature step\r\n30 20\r\n45.5 60.9\n;60 100\n60\t100");
  ASSERT_EQ(tab.size(), 3u);
  EXPECT_FLOAT_EQ(tab[0].temp, 30.0f);
  EXPECT_EQ(tab[0].step, 20);
  EXPECT_FLOAT_EQ(tab[1].temp, 45.5f);
  EXPECT_EQ(tab[1].step, 60);
  EXPECT_EQ(tab[2].step, 100);
}

TEST(VentolaFile, BadLinesAreLoggedAndSkipped) {
  testlib::LogCapture log;
  auto tab = ParseVentolaText("30 20\nhot 60\n40\n50 1e30\nnan 50\n55 -3\n\n60 100\n");
  ASSERT_EQ(tab.size(), 2u);
  EXPECT_EQ(tab[0].step, 20);
  EXPECT_EQ(tab[1].step, 100);
  EXPECT_EQ(log.count("ventola.txt: line"), 5u);
}

TEST(VentolaFile, MissingFileLeavesNoTableAndNoFanCommand) {
  testlib::TempRoot root;
  root.activate();
  testlib::TestWorks w;
  testlib::LogCapture log;
  ReadVentolaFile(w.get());
  EXPECT_TRUE(w->tabVentola.empty());
  EXPECT_TRUE(log.contains("can't open /opt/set/ventola.txt"));
  setTemps(w.get(), 50, 50);
  searchPercentVentola(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
  EXPECT_EQ(w->fanSent, 0);
}

TEST(VentolaFile, LoadsFromTheRoot) {
  testlib::TempRoot root;
  root.activate();
  root.write("/opt/set/ventola.txt", ";t step\n30 20\n45 60\n60 100\n");
  testlib::TestWorks w;
  ReadVentolaFile(w.get());
  ASSERT_EQ(w->tabVentola.size(), 3u);
  EXPECT_EQ(w->tabVentola[2].step, 100);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w.get(), 60), 45.0f);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w.get(), 55), 0.0f);
}

TEST(VentolaFile, OversizedFileKeepsItsWholeRowsAndSaysSo) {
  testlib::TempRoot root;
  root.activate();
  std::string text = "30 20\n45 60\n";
  const std::string pad = "; padding comment line\n";
  while (text.size() + pad.size() < kConfigFileMaxBytes - 3) text += pad;
  text.append(kConfigFileMaxBytes - 3 - text.size(), ';');
  text += "\n55 80\n";  // "55 8" before the limit, "0" after it
  ASSERT_GT(text.find("55 80"), kConfigFileMaxBytes - 5);
  text += "70 100\n";
  root.write("/opt/set/ventola.txt", text);
  testlib::TestWorks w;
  testlib::LogCapture log;
  ReadVentolaFile(w.get());
  ASSERT_EQ(w->tabVentola.size(), 2u);  // the row cut by the limit is not read as "55 8"
  EXPECT_EQ(w->tabVentola[0].step, 20);
  EXPECT_EQ(w->tabVentola[1].step, 60);
  EXPECT_EQ(log.count("ventola.txt: larger than 4194304 bytes, only its first"), 1u);
}

TEST(VentolaFile, FileAtTheLimitIsReadWhole) {
  testlib::TempRoot root;
  root.activate();
  std::string text = "30 20\n";
  text.append(kConfigFileMaxBytes - text.size() - 7, ';');
  text += "\n60 100";  // ends exactly at the limit, without a newline
  ASSERT_EQ(text.size(), kConfigFileMaxBytes);
  root.write("/opt/set/ventola.txt", text);
  testlib::TestWorks w;
  testlib::LogCapture log;
  ReadVentolaFile(w.get());
  ASSERT_EQ(w->tabVentola.size(), 2u);
  EXPECT_EQ(w->tabVentola[1].step, 100);
  EXPECT_FALSE(log.contains("larger than"));
}

TEST(FanStep, HysteresisOnTheWayDown) {
  testlib::TestWorks w;
  threeStepTable(w.get());
  setTemps(w.get(), 46, 30);
  searchPercentVentola(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{LIN_FN});
  EXPECT_EQ(w->fanSent, 60);

  setTemps(w.get(), 44.5f, 20);  // not below 45 - 1: the higher step stays
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanWanted, 20);
  EXPECT_EQ(w->fanSent, 60);
  EXPECT_TRUE(drainQueue(w.get()).empty());

  setTemps(w.get(), 20, 43.9f);  // the higher of the two sensors counts
  searchPercentVentola(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{LIN_FN});
  EXPECT_EQ(w->fanSent, 20);
}

TEST(FanStep, BelowTheFirstEntryGetsItsStep) {
  testlib::TestWorks w;
  threeStepTable(w.get());
  setTemps(w.get(), 12, 15);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 20);
  EXPECT_EQ(drainQueue(w.get()).size(), 1u);
  searchPercentVentola(w.get());  // unchanged step: nothing more is sent
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

TEST(FanStep, AtOrAboveTheLastEntryRunsFlatOut) {
  testlib::TestWorks w;
  threeStepTable(w.get());
  setTemps(w.get(), 60, 25);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 100);
  setTemps(w.get(), 79, 80);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanWanted, 100);
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{LIN_FN});
  // Cooling from the top: 59.5 is not below 60 - 1, 58.9 is.
  setTemps(w.get(), 59.5f, 59.5f);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 100);
  setTemps(w.get(), 58.9f, 58.9f);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 60);
}

TEST(FanStep, RefusedCommandIsAskedAgain) {
  testlib::TestWorks w;
  threeStepTable(w.get());
  for (int i = 0; i < kCmdQueueMaxPending; ++i) ASSERT_EQ(IncPNTIn_CMDLinear(LIN_ST, w.get()), LIN_ST);
  setTemps(w.get(), 50, 50);
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 0);
  PopCMDLinear(w.get());
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanSent, 60);
  auto q = drainQueue(w.get());
  EXPECT_EQ(q.back(), LIN_FN);
}

class OverTemperature : public ::testing::Test {
 protected:
  void SetUp() override {
    w->MaxTemperature = 60.0f;
    w->Isteresi1 = 1;
    w->cpPending = 0;
  }
  void reply(float t1, float t2) {
    setTemps(w.get(), t1, t2);
    ControlloSovraTemperatura(w.get());
  }
  testlib::TestWorks w;
};

TEST_F(OverTemperature, RaiseHoldAndRelease) {
  reply(60.5f, 40);
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT, LIN_AB0}));

  reply(59.5f, 59.5f);  // inside the hysteresis: still latched, nothing queued
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));
  EXPECT_TRUE(drainQueue(w.get()).empty());

  reply(58.9f, 59.5f);  // both sensors must be below the limit minus Isteresi1
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));

  reply(58.9f, 58.9f);
  EXPECT_FALSE(ExistError(w.get(), kErrorHighTemp));
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTempCleared));
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{LIN_AB1});  // protection itself stays on
}

TEST_F(OverTemperature, SecondSensorAloneRaises) {
  reply(30, 61);
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));
  reply(30, 65);  // latched: queued once
  EXPECT_EQ(drainQueue(w.get()).size(), 3u);
}

TEST_F(OverTemperature, BeforeFirstCpReplyQueuedOncePerEpisode) {
  w->cpPending = 1;
  for (int i = 0; i < 60; ++i) reply(70, 70);
  EXPECT_FALSE(ExistError(w.get(), kErrorHighTemp));  // the list is still closed
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT}));

  // The micro answers "CP": the alarm can now be listed, and the stand-by command goes out.
  w->cpPending = 0;
  reply(70, 70);
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT, LIN_AB0}));
  reply(70, 70);
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

TEST_F(OverTemperature, CooledBeforeTheListOpenedEndsTheEpisode) {
  w->cpPending = 1;
  reply(70, 70);
  drainQueue(w.get());
  reply(50, 50);
  EXPECT_TRUE(drainQueue(w.get()).empty());  // no stand-by to undo
  reply(70, 70);                             // a new episode reacts again
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT}));
}

TEST_F(OverTemperature, ResetWhileStillHotRaisesAgain) {
  reply(65, 65);
  drainQueue(w.get());
  VerifyWarningTemporaneiDopoResetBias(w.get());  // an operator reset empties the list
  reply(65, 65);
  EXPECT_TRUE(ExistError(w.get(), kErrorHighTemp));
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT, LIN_AB0}));
}

TEST_F(OverTemperature, AlarmEntryEndsTheTemperatureLog) {
  testlib::TempRoot root;
  root.activate();
  w->EnableLOGTemp = 1;
  w->logTempActive = 1;
  reply(62, 40);
  EXPECT_EQ(w->logTempActive, 0);
  std::string log = root.read("/opt/set/LOGtemp.txt");
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.find(" -> protezione attiva\n"), std::string::npos);
}

TEST(Protection, OnAndOffQueues) {
  testlib::TestWorks w;
  AttivaDisattivaProtezione(w.get(), 1);
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{LIN_MP1, LIN_AT_PROT}));
  AttivaDisattivaProtezione(w.get(), 0);
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{LIN_MP0});
}

TEST(Attenuator, CommandTexts) {
  char t[8];
  const char* want[] = {"AT00;", "AT01;", "AT10;", "AT11;"};
  for (int v = 0; v < 4; ++v) {
    AttenuatorCmdText(v, t);
    EXPECT_STREQ(t, want[v]);
  }
  AttenuatorCmdText(9, t);  // out of range never selects a pad pattern that does not exist
  EXPECT_STREQ(t, "AT11;");
  AttenuatorCmdText(-1, t);
  EXPECT_STREQ(t, "AT00;");
}

TEST(Attenuator, SetAttenuatorCMDWritesThePortAndWaits) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  testlib::TestWorks w;
  w->linFD = slave;
  SetAttenuatorCMD(w.get(), 2, LIN_AT_TUNE);
  char buf[16] = {};
  ssize_t n = read(master, buf, sizeof buf - 1);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "AT10;");
  EXPECT_EQ(w->linearProcessStatus, LIN_WAIT);
  EXPECT_EQ(w->lastCmd[0], 'A');
  EXPECT_EQ(w->lastCmd[1], 'T');
  EXPECT_EQ(w->lastCmdState, LIN_AT_TUNE);
  close(master);
  close(slave);
}

namespace {

void fillRing(Works* w) {
  for (int i = 0; i < kCmdQueueMaxPending; ++i) ASSERT_EQ(IncPNTIn_CMDLinear(LIN_ST, w), LIN_ST);
  ASSERT_EQ(IncPNTIn_CMDLinear(LIN_ST, w), -1);
}

// A full ring at the moment the alarm rises, and again when it clears: the protection commands go first.
TEST_F(OverTemperature, ProtectionOvertakesAFullRingWhenItRisesAndWhenItClears) {
  fillRing(w.get());
  reply(70, 70);
  auto q = drainQueue(w.get());
  ASSERT_EQ(q.size(), 32u);
  EXPECT_EQ(std::vector<int>(q.begin(), q.begin() + 3), (std::vector<int>{LIN_MP1, LIN_AT_PROT, LIN_AB0}));
  EXPECT_EQ(w->protectionHeld.load(), 1);

  fillRing(w.get());
  reply(40, 40);
  q = drainQueue(w.get());
  ASSERT_EQ(q.size(), 30u);
  EXPECT_EQ(q.front(), LIN_AB1);
  EXPECT_EQ(w->protectionHeld.load(), 0);
}

TEST(UrgentCommands, ResetSequenceSurvivesAFullRing) {
  testlib::TestWorks w;
  fillRing(w.get());
  w->stFaults = 0x01;
  w->bypass = 1;
  ResetBiasCmd(w.get());
  auto q = drainQueue(w.get());
  ASSERT_EQ(q.size(), 33u);
  EXPECT_EQ(std::vector<int>(q.begin(), q.begin() + 4), (std::vector<int>{LIN_CP, LIN_MP0, LIN_AB1, LIN_AT}));
}

// Setting commands keep only the newest of their kind (at the end); one-off commands keep every request.
TEST(UrgentCommands, NewestSettingWinsOneOffsAreAllKept) {
  struct Case {
    std::vector<int> in, out;
  };
  const Case cases[] = {
      {{LIN_MP1, LIN_AT_PROT, LIN_AB0, LIN_MP0}, {LIN_AT_PROT, LIN_AB0, LIN_MP0}},
      {{LIN_CP, LIN_VSM, LIN_CP}, {LIN_CP, LIN_VSM, LIN_CP}},
      {{LIN_AB0, LIN_AT, LIN_AB1}, {LIN_AT, LIN_AB1}},
      {{LIN_MT1_MEM, LIN_SA, LIN_MT1_BYPASS}, {LIN_SA, LIN_MT1_BYPASS}},
      {{LIN_AT_TUNE, LIN_AT}, {LIN_AT}},
      {{LIN_FN, LIN_FN, LIN_MR0, LIN_MR0}, {LIN_FN, LIN_MR0, LIN_MR0}},
  };
  for (const Case& k : cases) {
    testlib::TestWorks w;
    IncPNTIn_CMDLinear(LIN_FM, w.get());  // an ordinary command waits behind them
    {
      UrgentCommands urgent;
      for (int s : k.in) EXPECT_EQ(IncPNTIn_CMDLinear(s, w.get()), s);
    }
    auto want = k.out;
    want.push_back(LIN_FM);
    EXPECT_EQ(drainQueue(w.get()), want);
  }
}

// The selection's commands replace a pending one of their kind in place; protection is never merged.
TEST(QueueReplacing, PendingSettingOfTheSameKindIsReplacedInPlace) {
  struct Case {
    int add;
    std::vector<int> out;
  };
  const std::vector<int> pending = {LIN_ST, LIN_SF, LIN_AB0, LIN_MT1_MEM, LIN_AT_PROT, LIN_MP0};
  const Case cases[] = {
      {LIN_SF, pending},
      {LIN_AB1, {LIN_ST, LIN_SF, LIN_AB1, LIN_MT1_MEM, LIN_AT_PROT, LIN_MP0}},
      {LIN_MT1_BYPASS, {LIN_ST, LIN_SF, LIN_AB0, LIN_MT1_BYPASS, LIN_AT_PROT, LIN_MP0}},
      {LIN_AT, {LIN_ST, LIN_SF, LIN_AB0, LIN_MT1_MEM, LIN_AT_PROT, LIN_MP0, LIN_AT}},
      {LIN_MP1, {LIN_ST, LIN_SF, LIN_AB0, LIN_MT1_MEM, LIN_AT_PROT, LIN_MP0, LIN_MP1}},
      {LIN_FA, {LIN_ST, LIN_SF, LIN_AB0, LIN_MT1_MEM, LIN_AT_PROT, LIN_MP0, LIN_FA}},
  };
  for (const Case& k : cases) {
    testlib::TestWorks w;
    for (int s : pending) IncPNTIn_CMDLinear(s, w.get());
    EXPECT_EQ(QueueReplacingCMDLinear(k.add, w.get()), k.add);
    EXPECT_EQ(drainQueue(w.get()), k.out) << k.add;
  }
}

TEST(CmdQueueFull, ARunOfRefusalsIsLoggedOnceAndCountedWhenThereIsRoom) {
  testlib::TestWorks w;
  testlib::LogCapture log;
  fillRing(w.get());
  for (int i = 0; i < 99; ++i) EXPECT_EQ(IncPNTIn_CMDLinear(LIN_FA, w.get()), -1);
  EXPECT_EQ(log.count("command queue full"), 1u);
  PopCMDLinear(w.get());
  EXPECT_EQ(IncPNTIn_CMDLinear(LIN_FA, w.get()), LIN_FA);
  EXPECT_TRUE(log.contains("command queue has room again, 100 commands were refused while it was full"));
  EXPECT_EQ(IncPNTIn_CMDLinear(LIN_FA, w.get()), -1);
  EXPECT_EQ(log.count("command queue full"), 2u);  // a new run is logged again
}

}  // namespace

namespace {

// What the micro would receive of the queued commands, in order, as the link formats them.
std::vector<std::string> sentTexts(Works* w) {
  std::vector<std::string> out;
  for (int s; (s = PopCMDLinear(w)) >= 0;) {
    char text[96];
    const LinkCommand* c = FindLinkCommand(s);
    if (!c || c->send == LinkSend::RelayWord) continue;
    if (FormatLinkCommand(w, s, text, sizeof text) > 0) out.push_back(text);
  }
  return out;
}

// An auto-tune runs through an over-temperature: its own "MP0;" and attenuators, queued before and
// after the alarm, never take the protection off while it holds.
TEST_F(OverTemperature, AutoTuneRunningThroughTheAlarmNeverDropsProtection) {
  w->atuBypass = 0;
  w->Attenuator = 0;
  w->AttenuatorTune = 1;
  StartAutotune(w.get());   // MP1, AT_TUNE, TS, CP, MP0 queued as a burst
  reply(70, 70);            // the alarm rises with the tune's commands still pending
  EscAutoTune(w.get(), 0);  // the run ends: its attenuator restore
  auto sent = sentTexts(w.get());
  std::string lastMp, lastAt;
  for (const auto& t : sent) {
    if (t.rfind("MP", 0) == 0) lastMp = t;
    if (t.rfind("AT", 0) == 0) lastAt = t;
  }
  EXPECT_EQ(lastMp, "MP1;");
  EXPECT_EQ(lastAt, "AT11;");
  for (const auto& t : sent) EXPECT_NE(t, "MP0;");
  // Once it clears, the next ordinary commands go as queued again.
  reply(40, 40);
  IncPNTIn_CMDLinear(LIN_MP0, w.get());
  IncPNTIn_CMDLinear(LIN_AT, w.get());
  sent = sentTexts(w.get());
  EXPECT_EQ(sent, (std::vector<std::string>{"AB1;", "MP0;", "AT00;"}));
}

}  // namespace
