// Decoder tests: every reply row, the status positions, SWR, faults, temperatures and the status buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "amp/link.h"
#include "amp/protection.h"
#include "amp/replies.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

namespace {

// A status reply with its fields at their fixed places (without the ';').
std::string st(int s0, int s1, int pw, int fwd, int refl, int cur, int t1, int t2, int faults, int in = 0) {
  char b[64];
  snprintf(b, sizeof b, "ST%X%X%04d%04d%04d%04d%04d%04d%X%X00%04d", s0, s1, pw, fwd, refl, cur, t1, t2, faults & 0xF,
           (faults >> 4) & 0xF, in);
  return b;
}

class Decode : public ::testing::Test {
 protected:
  testlib::TestWorks tw;
  Works* w = tw.get();
  void SetUp() override {
    w->cpPending = 0;  // the error list is open
    w->EnableLOGTemp = 0;
  }
  int decode(const std::string& r) { return DecodeCatCmd(w, r.data(), static_cast<int>(r.size())); }
  std::string errLine2(int code) {
    std::lock_guard<std::mutex> lk(w->errorMut);
    return w->errorTable[code].line2;
  }
  // As if `letters` had just been sent in `state`.
  void sent(const char* letters, int state) { LastCmdSent(w, letters[0], letters[1], state); }
};

TEST_F(Decode, CharToIntCoversHexAndRejectsTheRest) {
  EXPECT_EQ(charToInt('0'), 0);
  EXPECT_EQ(charToInt('9'), 9);
  EXPECT_EQ(charToInt('A'), 10);
  EXPECT_EQ(charToInt('f'), 15);
  for (char c : {'G', 'g', '/', ':', '@', '`', ' ', '\0', ';'}) EXPECT_EQ(charToInt(c), -1) << int(c);
}

TEST_F(Decode, SimpleRowsUpdateTheirFieldsAndReturnToStatus) {
  w->linearProcessStatus = LIN_DECODE;
  EXPECT_EQ(decode("VSM2.07.13"), 20);
  EXPECT_STREQ(w->microVersion, "2.07.13");
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_ST);

  decode("SA3");
  EXPECT_EQ(w->antennaIdx.load(), 2);
  decode("FM100014070000");
  EXPECT_EQ(w->freqMeasured.load(), 14070000u);
  decode("FM000000000000");  // no carrier: the last measurement stays
  EXPECT_EQ(w->freqMeasured.load(), 14070000u);

  ASSERT_EQ(w->cpPending.exchange(1), 0);
  decode("CPFFFF");
  EXPECT_EQ(w->cpPending.load(), 0);

  decode("AB1");
  EXPECT_EQ(w->bypass.load(), 1);
  decode("AB0");
  EXPECT_EQ(w->bypass.load(), 0);

  w->txReqFlags = 0x10;
  decode("AN1");
  EXPECT_EQ(w->anValue.load(), 1);
  EXPECT_EQ(w->txReqFlags.load(), 0x30);

  decode("MR1");
  EXPECT_EQ(w->microResetArmed.load(), 0);
  decode("MR0");
  EXPECT_EQ(w->microResetArmed.load(), 1);

  decode("GS0123456789");
  EXPECT_STREQ(w->settingsText, "0123456789");

  for (const char* ack : {"FA00014070000", "MT100800000", "FS00001", "AT11", "MP1", "TS4095409515003700", "FN1050",
                          "PS0001100000000000", "SF3000004", "GM00020100"}) {
    w->retryCount = 2;
    w->linearProcessStatus = LIN_DECODE;
    decode(ack);
    EXPECT_EQ(w->linearProcessStatus.load(), LIN_ST) << ack;
    EXPECT_EQ(w->retryCount.load(), 0) << ack;
  }
  EXPECT_EQ(w->retryTotal.load(), 0);
}

TEST_F(Decode, ErrorAndUnknownRepliesResendTheCommand) {
  for (const char* bad :
       {"SA?", "ST!", "XX&", "QQ123", "SA0", "SAx", "GS0123", "ER0009", "ER0000ABCD", "ST0812340000"}) {
    w->retryCount = 0;
    sent("SA", LIN_SA);
    w->linearProcessStatus = LIN_DECODE;
    int before = w->retryTotal;
    EXPECT_EQ(decode(bad), 20) << bad;
    EXPECT_EQ(w->linearProcessStatus.load(), LIN_SA) << bad;
    EXPECT_EQ(w->retryCount.load(), 1) << bad;
    EXPECT_EQ(w->retryTotal.load(), before + 1) << bad;
  }
  EXPECT_EQ(w->antennaIdx.load(), 0);  // "SA0" never made the index -1
}

TEST_F(Decode, ShortReplyGoesBackToTheStatusRequest) {
  for (const char* s : {"", "S", "ST"}) {
    w->linearProcessStatus = LIN_DECODE;
    decode(s);
    EXPECT_EQ(w->linearProcessStatus.load(), LIN_ST) << s;
  }
}

TEST_F(Decode, BurstDrainsTheQueueThenClearsAndHandsOverToTheErrorFollowUp) {
  IncPNTIn_CMDLinear(LIN_MP0, w);
  IncPNTIn_CMDLinear(LIN_CP, w);
  w->cmdBurst = 1;
  w->errorResend = 1;
  decode("MP0");
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_MP0);
  decode("MP0");
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_CP);
  decode("CPFFFF");
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_ST);
  EXPECT_EQ(w->cmdBurst.load(), 0);
  EXPECT_EQ(w->errorResend.load(), 2);
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->errorResend.load(), 0);
}

TEST_F(Decode, ConfigurationBlocks) {
  std::string b0 = "ER0000";
  for (int i = 0; i < 32; ++i) {
    char h[3];
    snprintf(h, sizeof h, "%02X", i * 7);
    b0 += h;
  }
  b0[6 + 2 * 5 + 1] = 'Z';  // byte 5: a non-hex low nibble sets all bits
  decode(b0);
  EXPECT_EQ(w->microCfg0[0], 0);
  EXPECT_EQ(w->microCfg0[4], 28);
  EXPECT_EQ(w->microCfg0[5], 0xFF);
  EXPECT_EQ(w->microCfg0[31], 217);
  std::string b1 = b0;
  b1[5] = '1';
  decode(b1);
  EXPECT_EQ(w->microCfg1[31], 217);

  EXPECT_EQ(w->microCfgB.load(), 0xFF);
  decode("ER0002AB31");
  EXPECT_EQ(w->microCfgA.load(), 0xAB);
  EXPECT_EQ(w->microCfgB.load(), 0x31);
  EXPECT_EQ(number_ofStep_meter_FWD.load(), 120);
  decode("ER00023030");
  EXPECT_EQ(number_ofStep_meter_FWD.load(), 60);
}

TEST_F(Decode, CalcolaSwrCases) {
  EXPECT_NEAR(CalcolaSWR(100.0f, 11.1f), 2.0f, 0.01f);
  EXPECT_FLOAT_EQ(CalcolaSWR(50.0f, 50.0f), 100.0f);  // equal powers
  EXPECT_FLOAT_EQ(CalcolaSWR(50.0f, 60.0f), 100.0f);  // reflected above forward
  EXPECT_FLOAT_EQ(CalcolaSWR(0.2f, 0.6f), 100.0f);    // no forward, reflected above 0.5 W
  EXPECT_FLOAT_EQ(CalcolaSWR(0.2f, 0.4f), 0.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(0.3f, 0.4f), 0.0f);  // 0.3 W is still "no forward"
  EXPECT_FLOAT_EQ(CalcolaSWR(10.0f, 0.0f), 1.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(100.0f, 99.9f), 100.0f);  // capped
}

TEST_F(Decode, StatusPositionsAndPower) {
  // No calibration rows: the default factors apply.
  decode(st(0xC, 0x9, 1000, 4000, 0, 2048, 2048, 2048, 0));
  EXPECT_EQ(w->stStatus0.load(), 0xC);
  EXPECT_EQ(w->stStatus1.load(), 0x9);
  EXPECT_EQ(w->rawPW.load(), 1000);
  EXPECT_EQ(w->rawFWD.load(), 4000);
  EXPECT_EQ(w->rawREFL.load(), 0);
  EXPECT_FLOAT_EQ(w->rawCurrent.load(), 2048.0f);
  const float k0 = SearchK(w, 0), k2 = SearchK(w, 2);
  EXPECT_FLOAT_EQ(w->pwrFwd.load(), k0 * 4000.0f * 4000.0f);
  EXPECT_FLOAT_EQ(w->pwrPW.load(), k2 * 1000.0f * 1000.0f);
  EXPECT_FLOAT_EQ(w->pwrRefl.load(), 0.0f);  // the leakage correction never goes below 0
  EXPECT_FLOAT_EQ(w->swr.load(), 1.0f);

  decode(st(0, 0, 0, 2000, 2000, 0, 2048, 2048, 0));
  const float k1 = SearchK(w, 1), k3 = SearchK(w, 3);
  float fwd = k0 * 2000.0f * 2000.0f;
  EXPECT_FLOAT_EQ(w->pwrRefl.load(), k1 * 2000.0f * 2000.0f + k3 * fwd);
  EXPECT_FLOAT_EQ(w->swr.load(), CalcolaSWR(fwd, w->pwrRefl));
}

TEST_F(Decode, StatusNextStateByTuneStateAndQueue) {
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_FM);
  IncPNTIn_CMDLinear(LIN_SA, w);
  w->retryCount = 2;
  EXPECT_EQ(decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0)), 10);
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_SA);
  EXPECT_EQ(PendingCMDLinear(w), 0);
  EXPECT_EQ(w->retryCount.load(), 2);  // a status reply does not reset the resends
  w->tuneState = 2;
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->linearProcessStatus.load(), LIN_CP);
  EXPECT_EQ(w->tuneState.load(), 1);
}

// The decoder reads the tune state without the run lock; an abort landing after that read must
// not be undone by the step from 2 or 3 to 1.
TEST_F(Decode, AbortAfterTheTuneStateWasReadIsNotUndone) {
  for (uint8_t seen : {uint8_t{2}, uint8_t{3}}) {
    w->tuneState = 0;  // the abort came in between
    EXPECT_EQ(NextStateAfterStatus(w, seen), LIN_FM) << int(seen);
    EXPECT_EQ(w->tuneState.load(), 0) << int(seen);
    IncPNTIn_CMDLinear(LIN_SA, w);
    EXPECT_EQ(NextStateAfterStatus(w, seen), LIN_SA) << int(seen);  // idle: the queue goes on
    EXPECT_EQ(w->tuneState.load(), 0);
  }
  // Without an abort the run goes on as before.
  w->tuneState = 3;
  EXPECT_EQ(NextStateAfterStatus(w, 3), LIN_ST);
  EXPECT_EQ(w->tuneState.load(), 1);
}

// The same race with real threads (meant for the thread-sanitizer build as well): however the
// abort and the status reply interleave, a cancelled run never comes back.
TEST_F(Decode, CancelledRunNeverRestartsUnderConcurrentAborts) {
  const std::string reply = st(0, 0, 0, 0, 0, 0, 2048, 2048, 0);
  std::atomic<int> go{0};
  std::atomic<bool> done{false};
  std::thread aborter([&] {
    for (int handled = 0; !done;) {
      const int g = go.load();
      if (g <= 0 || g == handled) continue;
      handled = g;
      EscAutoTune(w, 0);
      go.store(-g);  // acknowledged
    }
  });
  int restarted = 0;
  for (int i = 1; i <= 20000; ++i) {
    w->tuneState = static_cast<uint8_t>(i % 2 ? 2 : 3);
    go = i;
    // Mostly the decision alone, so the abort often lands right at it; now and then the whole reply.
    if (i % 16 == 0)
      decode(reply);
    else
      NextStateAfterStatus(w, w->tuneState.load());
    while (go.load() != -i) std::this_thread::yield();
    if (w->tuneState.load() != 0) ++restarted;
    while (PopCMDLinear(w) >= 0) {
    }
  }
  done = true;
  aborter.join();
  EXPECT_EQ(restarted, 0);
}

TEST_F(Decode, FaultsNameTheHighestBitAndRaiseTheirErrors) {
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x09));
  EXPECT_TRUE(ExistError(w, kErrorAmpFault));
  EXPECT_EQ(errLine2(15), "SENS PW");
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x13));
  EXPECT_EQ(errLine2(15), "FILTER TX");
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x00));
  EXPECT_FALSE(ExistError(w, kErrorAmpFault));

  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x41));
  EXPECT_TRUE(ExistError(w, kErrorBandStandby));
  EXPECT_FALSE(ExistError(w, kErrorAmpFault));

  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x80));
  EXPECT_FALSE(ExistError(w, kErrorMicroReset));  // not armed before "MR0;" was acknowledged
  w->microResetArmed = 1;
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x80));
  EXPECT_TRUE(ExistError(w, kErrorMicroReset));

  w->anValue = 1;
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0x20));
  EXPECT_TRUE(ExistError(w, kErrorPwrIn));

  decode(st(0, 0x2, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_TRUE(ExistError(w, kErrorAmpAlarm));
  decode(st(0, 0x0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_FALSE(ExistError(w, kErrorAmpAlarm));
}

TEST_F(Decode, NothingIsListedBeforeTheFirstCp) {
  w->cpPending = 1;
  decode(st(0, 0x2, 0, 0, 0, 0, 2048, 2048, 0x01));
  EXPECT_EQ(ExistAnError(w), -1);
}

TEST_F(Decode, BypassFollowsTheMicroAfterAMismatchedCommand) {
  w->bypass = 0;
  w->bypassCmdState = 1;  // "AB1;" was sent
  decode(st(0, 0x8, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->bypass.load(), 1);
  w->bypassCmdState = 0;
  decode(st(0, 0x0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->bypass.load(), 0);
  w->bypassCmdState = 0;  // the micro says bypass but "AB0;" was the last command: keep 0
  decode(st(0, 0x8, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->bypass.load(), 0);
}

TEST_F(Decode, WhileTheLinkFailsTheStatusSetsAttenuator) {
  decode(st(0xC, 0, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->Attenuator.load(), 0);  // not while the link is fine
  AddErrore(w, kErrorComm);
  decode(st(0x8, 0x8, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->Attenuator.load(), 2);
  EXPECT_EQ(w->attState.load(), 2);
  decode(st(0x4, 0x8, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->Attenuator.load(), 1);
}

TEST_F(Decode, TemperatureIsStoredFirstThenSmoothed) {
  decode(st(0, 0, 0, 0, 0, 0, 2048, 1000, 0));
  const float a1 = CalcolaTemp(2048), a2 = CalcolaTemp(1000);
  EXPECT_FLOAT_EQ(w->temp1.load(), a1);
  EXPECT_FLOAT_EQ(w->temp2.load(), a2);
  decode(st(0, 0, 0, 0, 0, 0, 500, 500, 0));
  const float b = CalcolaTemp(500);
  EXPECT_NEAR(w->temp1.load(), (9 * a1 + b) / 10, 1e-4);
  EXPECT_NEAR(w->temp2.load(), (9 * a2 + b) / 10, 1e-4);
}

// The log starts with a transmission; an over-temperature during it writes the alarm entry and
// ends the log, and that entry stays until the operator transmits again.
TEST_F(Decode, AlarmEntrySurvivesUntilTheNextTransmission) {
  testlib::TempRoot root;
  root.activate();
  w->EnableLOGTemp = 1;
  w->MaxTemperature = 60.0f;
  w->Isteresi1 = 1;
  const std::string alarm = " -> protezione attiva\n";
  auto log = [&] { return root.read("/opt/set/LOGtemp.txt"); };
  auto lines = [&] {
    std::string l = log();
    return std::count(l.begin(), l.end(), '\n');
  };

  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));  // receiving: no log yet
  EXPECT_FALSE(root.exists("/opt/set/LOGtemp.txt"));
  decode(st(0, 0x1, 0, 0, 0, 0, 2048, 2048, 0));  // transmission begins
  EXPECT_EQ(w->logTempActive.load(), 1);
  EXPECT_EQ(lines(), 2);  // header and the first entry

  w->temp1 = 79.0f;  // the heat sink ran hot during the transmission
  decode(st(0, 0x1, 0, 0, 0, 0, 300, 2048, 0));
  ASSERT_TRUE(ExistError(w, kErrorHighTemp));
  EXPECT_EQ(w->logTempActive.load(), 0);
  ASSERT_NE(log().find(alarm), std::string::npos);

  // Still transmitting, hot and then cooled: the alarm entry stays.
  for (int i = 0; i < 3; ++i) decode(st(0, 0x1, 0, 0, 0, 0, 300, 2048, 0));
  w->temp1 = 30.0f;
  w->temp2 = 30.0f;
  for (int i = 0; i < 3; ++i) decode(st(0, 0x1, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_NE(log().find(alarm), std::string::npos);
  EXPECT_EQ(w->logTempActive.load(), 0);
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));  // the transmission ends
  EXPECT_NE(log().find(alarm), std::string::npos);

  // The next transmission empties the log and starts it again.
  decode(st(0, 0x1, 0, 0, 0, 0, 2048, 2048, 0));
  EXPECT_EQ(w->logTempActive.load(), 1);
  EXPECT_EQ(log().find(alarm), std::string::npos);
  EXPECT_EQ(lines(), 2);
}

// A 12-bit converter gives at most 4095: a larger number must not pass for a cold heat sink.
TEST_F(Decode, TemperatureReadingPastTwelveBitsKeepsTheLastTemperature) {
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0));
  const float t = w->temp1.load();
  ASSERT_NEAR(t, 25.0f, 0.1f);
  testlib::LogCapture log;
  decode(st(0, 0, 0, 0, 0, 0, 4096, 9999, 0));
  EXPECT_FLOAT_EQ(w->temp1.load(), t);
  EXPECT_FLOAT_EQ(w->temp2.load(), t);
  decode(st(0, 0, 0, 0, 0, 0, 5000, 2048, 0));
  EXPECT_FLOAT_EQ(w->temp1.load(), t);
  EXPECT_EQ(log.count("temperature 1 reading "), 1u);  // once per run of bad readings
  EXPECT_EQ(log.count("temperature 2 reading 9999"), 1u);

  // A hot sink stays hot, and stays in alarm, through bad readings.
  w->MaxTemperature = 60.0f;
  w->temp1 = 75.0f;
  decode(st(0, 0, 0, 0, 0, 0, 400, 2048, 0));
  ASSERT_TRUE(ExistError(w, kErrorHighTemp));
  const float hot = w->temp1.load();
  for (int i = 0; i < 20; ++i) decode(st(0, 0, 0, 0, 0, 0, 6000, 2048, 0));
  EXPECT_FLOAT_EQ(w->temp1.load(), hot);
  EXPECT_TRUE(ExistError(w, kErrorHighTemp));
  EXPECT_EQ(log.count("temperature 1 reading "), 2u);

  // 4095 is a real reading (an open thermistor) and is taken.
  decode(st(0, 0, 0, 0, 0, 0, 2048, 4095, 0));
  EXPECT_NEAR(w->temp2.load(), (9 * t + CalcolaTemp(4095)) / 10, 1e-4);
}

TEST_F(Decode, FastPowerReadingIsClampedByModel) {
  w->EnablePwrPeak = 1;
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 9999));
  EXPECT_FLOAT_EQ(w->pwrIn.load(), 70.0f);
  decode("ER00020031");
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 9999));
  EXPECT_FLOAT_EQ(w->pwrIn.load(), 130.0f);
  decode(st(0, 0, 0, 0, 0, 0, 2048, 2048, 0, 1000));
  EXPECT_FLOAT_EQ(w->pwrIn.load(), SearchK(w, 0) * 1e6f);
}

TEST_F(Decode, PaVoltageByModel) {
  EXPECT_NEAR(CalvTensVadcAmp(w, 255), 3.3f * 118 / 18, 1e-4);
  w->microCfgB = 0x31;
  EXPECT_NEAR(CalvTensVadcAmp(w, 100), 100 * 3.3f * 348 / 255 / 18, 1e-4);
}

TEST_F(Decode, StatusBufferBytes) {
  {
    std::unique_lock lk(w->tablesMut);
    snprintf(w->tabAntenna[0].name, sizeof w->tabAntenna[0].name, "40m");
    w->tabAntenna[0].freqMin = 7000000;
    w->tabAntenna[0].freqMax = 7300000;
    snprintf(w->tabAntenna[1].name, sizeof w->tabAntenna[1].name, "20m");
    w->tabAntenna[1].freqMin = 14000000;
    w->tabAntenna[1].freqMax = 14350000;
    w->numBands = 2;
  }
  w->freq = 14350000;  // upper edge inclusive
  w->ModeWorkIdx = 1;
  w->Attenuator = 2;
  w->antennaIdx = 1;
  w->bypass = 0;
  w->atuBypass = 1;
  w->swr = 1.5f;
  w->pwrFwd = 1000.0f;  // wider than its field: cut
  w->pwrPW = 5.5f;
  w->temp1 = 40.25f;
  w->temp2 = 41.0f;
  w->rawCurrent = 2048;
  w->NumBanco = 3;
  char out[80];
  memset(out, 'x', sizeof out);
  CreaBufferDiStato(w, out);
  EXPECT_EQ(std::string(out),
            "20m 1210B0001.501000.0005.5041.0 0.007.0030"
            "00000000;");
  EXPECT_EQ(strlen(out), 52u);

  w->freq = 3000000;  // in no band
  w->ModeWorkIdx = -1;
  w->TUNEenabled = static_cast<int8_t>(0x80);
  AddErrore(w, kErrorComm);
  AddErrore(w, kErrorTuneTimeout);
  CreaBufferDiStato(w, out);
  EXPECT_EQ(std::string(out, 4), "----");
  EXPECT_EQ(out[4], '0');
  EXPECT_EQ(out[8], 'N');
  EXPECT_EQ(out[42], 13);  // newest error code + 1, as a byte
  EXPECT_EQ(out[51], ';');
}

}  // namespace

namespace {

// Each garbled status reply must go through the retry rule and leave every value as it was.
TEST_F(Decode, GarbledStatusFieldsAreRefusedAndKeepTheLastGoodState) {
  const std::string good = st(0x0, 0x1, 1000, 2000, 300, 400, 2048, 2100, 0x00, 500);
  w->EnablePwrPeak = 1;
  sent("ST", LIN_ST);
  decode(good);
  const uint16_t fwd = w->rawFWD;
  const float t1 = w->temp1, t2 = w->temp2, cur = w->rawCurrent, in = w->pwrIn;
  const int faults = w->stFaults, s1 = w->stStatus1;
  // Hex fields take hex digits only; number fields take decimal digits only (so 'A' is garbage there).
  struct Case {
    int pos;
    char c;
  };
  std::vector<Case> cases;
  for (int pos = 2; pos < 36; ++pos) {
    if (pos == 30 || pos == 31) continue;  // not used
    const bool hexField = pos < 4 || pos == 28 || pos == 29;
    for (char c : {'G', ':', ' ', '\x01', '-'}) cases.push_back({pos, c});
    if (!hexField) cases.push_back({pos, 'A'});
  }
  for (const Case& k : cases) {
    std::string bad = good;
    bad[static_cast<size_t>(k.pos)] = k.c;
    w->retryCount = 0;
    decode(bad);
    EXPECT_EQ(w->retryCount.load(), 1) << "position " << k.pos << " char " << int(k.c);
    EXPECT_EQ(w->linearProcessStatus.load(), LIN_ST) << k.pos;  // the status request goes again
    EXPECT_EQ(w->rawFWD.load(), fwd) << k.pos;
    EXPECT_EQ(w->temp1.load(), t1) << k.pos;
    EXPECT_EQ(w->temp2.load(), t2) << k.pos;
    EXPECT_EQ(w->rawCurrent.load(), cur) << k.pos;
    EXPECT_EQ(w->pwrIn.load(), in) << k.pos;
    EXPECT_EQ(w->stFaults.load(), faults) << k.pos;
    EXPECT_EQ(w->stStatus1.load(), s1) << k.pos;
  }
  // Lower-case hex stays good in the hex fields.
  std::string lower = st(0xA, 0x1, 1000, 2000, 300, 400, 2048, 2100, 0xB0, 500);
  std::transform(lower.begin() + 2, lower.end(), lower.begin() + 2,
                 [](char c) { return static_cast<char>(tolower(c)); });
  w->retryCount = 0;
  decode(lower);
  EXPECT_EQ(w->retryCount.load(), 0);
  EXPECT_EQ(w->stStatus0.load(), 0xA);
  EXPECT_EQ(w->stFaults.load(), 0xB0);
}

TEST_F(Decode, GarbledFrequencyAndNetworkRepliesAreRefused) {
  w->freqMeasured = 14070000;
  w->anValue = 1;
  for (const char* bad : {"FM000014200:00", "FM0001420000", "FM0000142 0000", "FM0-0014200000"}) {
    sent("FM", LIN_FM);
    w->retryCount = 0;
    decode(bad);
    EXPECT_EQ(w->retryCount.load(), 1) << bad;
    EXPECT_EQ(w->freqMeasured.load(), 14070000u) << bad;
  }
  sent("AN", LIN_AN);
  decode("ANx");
  EXPECT_EQ(w->anValue.load(), 1);
  decode("FM000014200000");
  EXPECT_EQ(w->freqMeasured.load(), 14200000u);
  // Error replies of any letters stay error replies.
  sent("FM", LIN_FM);
  w->retryCount = 0;
  decode("Q3?");
  EXPECT_EQ(w->retryCount.load(), 1);
}

// What the link keeps waiting past, and what it hands to the decoder.
TEST(LinkReplies, LateRepliesToOtherCommandsAreIgnoredErrorRepliesAreNot) {
  const char st[2] = {'S', 'T'}, fm[2] = {'F', 'M'};
  struct Case {
    const char* reply;
    const char* last;
    bool ignored;
  };
  const Case cases[] = {
      {"FM00014070000", st, true},
      {"ST00", st, false},
      {"FM00014070000", fm, false},
      {"SA?", st, false},
      {"Zz!", fm, false},
      {"X", st, false},
      {"", st, false},
      {"st00", st, true},
  };
  for (const Case& k : cases)
    EXPECT_EQ(ReplyAnswersOtherCommand(k.reply, static_cast<int>(strlen(k.reply)), k.last), k.ignored) << k.reply;
}

TEST(LinkReplies, AssemblerSplitsOnSemicolonsAndDropsOverlongRuns) {
  ReplyAssembler rx;
  std::vector<std::string> got;
  auto feed = [&](const std::string& bytes) {
    for (char c : bytes)
      if (rx.feed(c)) {
        got.emplace_back(rx.text, static_cast<size_t>(rx.fill));
        rx.reset();
      }
  };
  feed("ST0;FM1");
  feed("2;;");
  EXPECT_EQ(got, (std::vector<std::string>{"ST0", "FM12", ""}));
  got.clear();
  // 600 bytes without ';': the first 500 are dropped, the rest still makes a bounded reply.
  feed(std::string(600, 'x') + ";");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 100u);
  feed(std::string(499, 'y') + ";");
  EXPECT_EQ(got[1].size(), 499u);
}

}  // namespace
