// The relay word: bit layout of both banks, network decoding, the link's tuner commands, manual keys.
#include "tests/tuner/tuner_test_util.h"

#include "core/works.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

namespace {
uint32_t bits(std::initializer_list<int> b) {
  uint32_t v = 0;
  for (int i : b) v |= 1u << i;
  return v;
}
}  // namespace

using RelayWord = Fixture;

TEST_F(RelayWord, CapacitorAndInductorBitsFollowTheRelayTable) {
  SetC(w, 511);
  EXPECT_EQ(w->tuneWord.load(), bits({15, 2, 4, 6, 14, 12, 10, 8, 20}));
  w->tuneWord = 0;
  SetI(w, 511);
  EXPECT_EQ(w->tuneWord.load(), bits({1, 3, 5, 7, 13, 11, 9, 19, 21}));
  // Single weights land on their own bits: weight 16 of C is bit 14, weight 128 of L is bit 19.
  w->tuneWord = 0;
  SetC(w, 16);
  EXPECT_EQ(w->tuneWord.load(), bits({14}));
  w->tuneWord = 0;
  SetI(w, 128);
  EXPECT_EQ(w->tuneWord.load(), bits({19}));
}

TEST_F(RelayWord, SettingOneBankClearsItsSpareLineAndLeavesTheRestAlone) {
  w->tuneWord = 0xFFFFFFFFu;
  SetC(w, 0);
  EXPECT_EQ(w->tuneWord.load() & bits({22}), 0u);
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneWord), 0);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 511);
  EXPECT_EQ(w->tuneWord.load() & kTuneNetCL, kTuneNetCL);
  SetI(w, 0);
  EXPECT_EQ(w->tuneWord.load() & bits({17}), 0u);
  EXPECT_EQ(w->tuneWord.load() & (kTuneNetCL | kTuneNetLC | kTuneNetBypass), kTuneNetCL | kTuneNetLC | kTuneNetBypass);
}

TEST_F(RelayWord, EveryStepDecodesBackToItself) {
  for (int v = 0; v < 512; ++v) {
    w->tuneWord = kTuneNetLC;
    SetC(w, v);
    SetI(w, 511 - v);
    ASSERT_EQ(DecodeCapacitaFromTuneval(w->tuneWord), v);
    ASSERT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 511 - v);
    ASSERT_EQ(DecodeModoFromTuneval(w->tuneWord), 2);
  }
}

TEST_F(RelayWord, NetworkBitsDecodeToModesAndTwoBitsToZeroWithTheLogLine) {
  EXPECT_EQ(DecodeModoFromTuneval(0), 0);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneNetCL | 0x2), 1);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneNetLC), 2);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneNetBypass), 3);
  StderrCapture err;
  EXPECT_EQ(DecodeModoFromTuneval(kTuneNetCL | kTuneNetLC | 0x8), 0);
  EXPECT_NE(err.take().find("DecodeModoFromTuneval -> tune: 0x840000 \n"), std::string::npos);
}

TEST_F(RelayWord, SetModeAndReadTneParKeepBypassFlagInStep) {
  SetMode(w, 2);
  EXPECT_EQ(w->tuneWord.load() & 0x850000u, kTuneNetLC);
  EXPECT_EQ(w->atuBypass.load(), 0);
  SetMode(w, 0);
  EXPECT_EQ(w->tuneWord.load() & 0x850000u, kTuneNetBypass);
  EXPECT_EQ(w->atuBypass.load(), 1);
  // A word without a network bit reads as bypass.
  w->tuneWord = 0;
  SetC(w, 5);
  ReadTnePar(w);
  EXPECT_EQ(w->tuneC.load(), 5);
  EXPECT_EQ(w->tuneMode.load(), 3);
  EXPECT_EQ(w->tuneWord.load() & kTuneNetBypass, kTuneNetBypass);
}

TEST_F(RelayWord, LinkTunerCommandsComposeTheWord) {
  char text[32];
  w->tuneWord = kTuneNetCL | bits({15, 1});
  ASSERT_GT(TunerCommandText(w, LIN_MT1_BYPASS, text, sizeof text), 0);
  EXPECT_STREQ(text, "MT100018002;");
  EXPECT_EQ(w->atuBypass.load(), 1);

  ASSERT_GT(TunerCommandText(w, LIN_MT1_NEUTRAL, text, sizeof text), 0);
  EXPECT_STREQ(text, "MT100800000;");
  EXPECT_EQ(w->atuBypass.load(), 0);
  EXPECT_EQ(w->tuneC.load(), 0);

  w->tuneWord = kTuneNetBypass;
  w->atuBypass = 0;
  ASSERT_GT(TunerCommandText(w, LIN_MT1, text, sizeof text), 0);
  EXPECT_STREQ(text, "MT100010000;");
  EXPECT_EQ(w->atuBypass.load(), 1);

  EXPECT_EQ(TunerCommandText(w, 12, text, sizeof text), -1);
  EXPECT_EQ(w->tuneLock.load(), 0);
}

TEST_F(RelayWord, ManualKeysStayInRangeAndQueueTheWord) {
  SetMode(w, 1);
  SetC(w, 511);
  SetI(w, 0);
  drain();
  TuneManualC(w, +1);
  TuneManualL(w, -1);
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneWord), 511);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 0);
  TuneManualC(w, -1);
  TuneManualL(w, +1);
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneWord), 510);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 1);
  EXPECT_EQ(drain(), (std::vector<int>{11, 11, 11, 11}));

  TuneManualMode(w);
  EXPECT_EQ(w->tuneMode.load(), 2);
  TuneManualMode(w);
  EXPECT_EQ(w->tuneMode.load(), 3);
  TuneManualMode(w);
  EXPECT_EQ(w->tuneMode.load(), 1);
  w->tuneState = 1;
  TuneManualMode(w);
  EXPECT_EQ(w->tuneMode.load(), 1);
}
