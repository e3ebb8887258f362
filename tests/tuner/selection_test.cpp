// Frequency-driven selection: the command order after a band change, filters, thresholds, band settings.
#include "tests/tuner/tuner_test_util.h"

#include "core/works.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

namespace {
struct Selection : Fixture {
  StderrCapture quiet;
  void SetUp() override {
    Fixture::SetUp();
    ParseFilterText(
        w, "1800000 2000000 1\n3500000 4000000 1\n7000000 7300000 1\n10000000 14350000 1\n14000000 14350000 1\n");
    // Rows: below 14 MHz, 14 to 18 MHz, 18 MHz onwards (closed by the last row).
    ParseConfigText(w,
                    "1000000 0 100 4000 25 2000 10 3000 0 20 10 30 120\n"
                    "14000000 0 100 4000 25 2000 10 3000 0 4 7 50 90\n"
                    "18000000 0 100 4000 25 2000 10 3000 0 40 7 64 400\n"
                    "60000000 0\n");
    InitTabAntenna(w, 0);
    BandRow& b20 = w->tabAntenna[5];
    b20.ampEnable = 1;
    b20.ant = 2;
    b20.atu = 0;
    b20.att = 1;
    w->numBands = 11;
    w->antennaIdx = 0;
    w->bypass = 1;
    w->Attenuator = 0;
    w->filterMask = 0;
    w->curConfigRow = -1;
    w->bandIdx = -1;
    drain();
  }
  void setBix(uint64_t f) {
    w->ModeWorkIdx = 1;
    std::lock_guard<std::mutex> lk(*w->serMut);
    w->serParam.freqCur = f;
  }
};
}  // namespace

TEST_F(Selection, BandChangeQueuesCommandsInOrder) {
  SaveTuneValsuTabRam(w, TuneMem{1, 2, 50, 60}, 3130, 1);
  setBix(14200000);
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_FA, LIN_SF, LIN_TS, LIN_SA, LIN_MT1_MEM, LIN_AB0, LIN_AT}));
  EXPECT_EQ(w->filterMask.load(), 1 << 3);
  EXPECT_EQ(w->antennaIdx.load(), 1);
  EXPECT_EQ(w->Attenuator.load(), 1);
  EXPECT_EQ(w->attState.load(), 1);
  EXPECT_EQ(w->bandIdx.load(), 5);
  EXPECT_EQ(w->lastFreq.load(), 14200000u);
  // Same frequency: nothing runs. One hertz more: only the tuner command is repeated
  // (the micro still reports the amplifier in stand-by, so AB0 is asked for again).
  EXPECT_EQ(FrequencyChangeChain(w), 0);
  EXPECT_TRUE(drain().empty());
  w->bypass = 0;
  setBix(14200001);
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_FA, LIN_MT1_MEM}));
}

TEST_F(Selection, GenericModeNeverSendsTheFrequency) {
  w->ModeWorkIdx = 0;
  w->freqMeasured = 7100000;
  w->anValue = 1;
  FrequencyChangeChain(w);
  std::vector<int> q = drain();
  EXPECT_EQ(q.front(), LIN_AN);
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_FA), 0);
  EXPECT_EQ(w->freq.load(), 7100000u);
  EXPECT_EQ(w->anValue.load(), 0);
  // The band row of 40 m bypasses the tuner by default and keeps the amplifier in stand-by.
  EXPECT_NE(std::find(q.begin(), q.end(), LIN_MT1_BYPASS), q.end());
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_AB1), 0);

  w->ModeWorkIdx = 2;
  w->freqCatSerial = 3600000;
  FrequencyChangeChain(w);
  EXPECT_EQ(w->freq.load(), 3600000u);
  EXPECT_EQ(drain().front(), LIN_FA);
}

TEST_F(Selection, WithoutCalibrationRowsOneDefaultThresholdCommand) {
  ParseConfigText(w, "");
  w->tsPwin = 1;
  w->ModeWorkIdx = 0;
  int ts = 0;
  for (uint32_t f : {14070000u, 14200000u, 7100000u, 21200000u}) {
    w->freqMeasured = f;
    FrequencyChangeChain(w);
    for (int s : drain()) ts += s == LIN_TS;
  }
  EXPECT_EQ(ts, 1);
  EXPECT_EQ(w->tsPwin.load(), 4095);
  EXPECT_EQ(w->tsFwd.load(), 4095);
  EXPECT_EQ(w->tsRefl.load(), 1500);
  EXPECT_EQ(w->tsCorrente.load(), 3700);
  // The end of an auto-tune asks for the thresholds again.
  EscAutoTune(w, 0);
  w->freqMeasured = 14110000;
  FrequencyChangeChain(w);
  std::vector<int> q = drain();
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_TS), 1);
}

TEST_F(Selection, ThresholdsFollowTheGoverningRow) {
  w->freq = 14200000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  EXPECT_EQ(w->curConfigRow.load(), 1);
  EXPECT_EQ(w->tsPwin.load(), 1897);      // sqrt(4 W / (10 W / 3000^2))
  EXPECT_EQ(w->tsCorrente.load(), 2040);  // 7 A of 14.05 A full scale
  EXPECT_EQ(w->tsRefl.load(), 2828);      // sqrt(50 W / (25 W / 2000^2))
  EXPECT_EQ(w->tsFwd.load(), 3794);       // sqrt(90 W / (100 W / 4000^2))
  w->freq = 17999999;
  SearchCambioSoglie_TS(w);
  EXPECT_TRUE(drain().empty());
  w->freq = 18000000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  EXPECT_EQ(w->tsPwin.load(), 4095);  // 6000 counts capped at full scale
  // Above the last row nothing governs: nothing is sent and the words stay.
  w->freq = 60000000;
  SearchCambioSoglie_TS(w);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(w->curConfigRow.load(), 2);
}

TEST_F(Selection, BrokenCalibrationNumbersGiveBoundedWords) {
  ParseConfigText(w, "1000000 0 0 0 0 0 10 0 0 1000000 0 1000000 90\n2000000\n");
  w->freq = 1500000;
  w->curConfigRow = -1;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  for (int v : {w->tsPwin.load(), w->tsFwd.load(), w->tsRefl.load(), w->tsCorrente.load()}) {
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 4095);
  }
  EXPECT_EQ(w->tsCorrente.load(), 0);  // no current threshold
  EXPECT_EQ(w->tsFwd.load(), 4095);    // 0 W / 0 counts^2 is no number at all
}

TEST_F(Selection, FilterRowsLowerEnabledRowWinsAndEdgesAreInclusive) {
  w->freq = 14000000;  // rows 3 and 4 overlap
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterMask.load(), 1 << 3);
  EXPECT_EQ(drain(), std::vector<int>{LIN_SF});
  SetFilterFromfreq(w);
  EXPECT_TRUE(drain().empty());
  w->tabFiltri[3].enable = 0;
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterMask.load(), 1 << 4);
  w->freq = 2000000;
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterMask.load(), 1 << 0);
  drain();
  w->freq = 2000001;  // in no filter: the previous one stays
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterMask.load(), 1 << 0);
  EXPECT_TRUE(drain().empty());
}

TEST_F(Selection, BandRowsDecideAntennaTunerAndStandBy) {
  // 20 m with no stored tune: the neutral tune.
  w->freq = 14200000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_SA, LIN_MT1_NEUTRAL, LIN_AB0, LIN_AT}));
  // A band that leaves the antenna alone, keeps stand-by while the amplifier already is in it.
  BandRow& b17 = w->tabAntenna[6];
  b17.ant = 0;
  b17.atu = 1;
  b17.ampEnable = 0;
  b17.att = 3;
  w->bypass = 1;
  w->Attenuator = 2;
  w->freq = 18100000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_MT1_BYPASS});
  EXPECT_EQ(w->antennaIdx.load(), 1);
  EXPECT_EQ(w->Attenuator.load(), 2);
  w->bypass = 0;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_MT1_BYPASS, LIN_AB1}));
  // Outside every band: no action, bandIdx 100.
  w->freq = 16000000;
  GestioneAntennaAutomatica(w);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(w->bandIdx.load(), 100);
  // On the shared edge of two rows the lower row wins.
  w->tabAntenna[6].freqMin = 14350000;
  w->freq = 14350000;
  GestioneAntennaAutomatica(w);
  EXPECT_EQ(w->bandIdx.load(), 5);
}

TEST_F(Selection, NoStoredTuneDuringATune) {
  SaveTuneValsuTabRam(w, TuneMem{1, 1, 5, 5}, 3130, 1);
  w->tuneState = 1;
  setBix(14200000);
  FrequencyChangeChain(w);
  std::vector<int> q = drain();
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_MT1_MEM), 0);
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_MT1_NEUTRAL), 0);
  EXPECT_NE(std::find(q.begin(), q.end(), LIN_SF), q.end());
  EXPECT_NE(std::find(q.begin(), q.end(), LIN_AB0), q.end());
  w->tuneState = 0;
  GestioneLoadTuneVal(w, 1);
  EXPECT_EQ(drain(), std::vector<int>{LIN_MT1_MEM});
}

TEST_F(Selection, ReloadReRunsTheChainAtTheSameFrequency) {
  setBix(14200000);
  FrequencyChangeChain(w);
  drain();
  EXPECT_EQ(FrequencyChangeChain(w), 0);
  w->bandIdx = -1;
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  w->portError = 1;
  w->bandIdx = -1;
  EXPECT_EQ(FrequencyChangeChain(w), 0);
}

TEST_F(Selection, CommandsRefusedByAFullQueueAreSentAgainAfterABackOff) {
  BandRow& b80 = w->tabAntenna[1];
  b80.ampEnable = 1;
  b80.ant = 3;
  b80.atu = 1;
  b80.att = 2;
  setBix(14200000);
  FrequencyChangeChain(w);
  drain();
  w->bypass = 0;
  w->antennaAuto = 0;
  // A spinning dial filled the ring: every command of the band change is refused.
  for (int i = 0; i < kCmdQueueMaxPending; ++i) ASSERT_EQ(IncPNTIn_CMDLinear(LIN_ST, w), LIN_ST);
  testlib::LogCapture log;
  setBix(3600000);
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  EXPECT_EQ(w->filterMask.load(), 1 << 3);  // the 20 m filter is still the one in line
  EXPECT_EQ(w->curConfigRow.load(), -1);
  EXPECT_EQ(w->antennaIdx.load(), 1);
  EXPECT_EQ(w->antennaAuto.load(), 0);
  EXPECT_EQ(w->Attenuator.load(), 1);
  EXPECT_EQ(w->attState.load(), 1);
  EXPECT_EQ(w->bandIdx.load(), -1);
  // One line for the run of refusals, not one per command and pass.
  EXPECT_TRUE(log.contains("Tuner: frequency command not queued (link queue full)"));
  EXPECT_FALSE(log.contains("Tuner: threshold command not queued"));
  EXPECT_EQ(drain(), std::vector<int>(kCmdQueueMaxPending, LIN_ST));

  // The link drained the ring; after ten passes of back-off the chain sends the whole change.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(FrequencyChangeChain(w), 0) << "pass " << i;
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  EXPECT_EQ(drain(), (std::vector<int>{LIN_FA, LIN_SF, LIN_TS, LIN_SA, LIN_MT1_BYPASS, LIN_AT}));
  EXPECT_EQ(w->filterMask.load(), 1 << 1);
  EXPECT_EQ(w->curConfigRow.load(), 0);
  EXPECT_EQ(w->tsPwin.load(), 4095);  // row 0: sqrt(20 W / (10 W / 3000^2))
  EXPECT_EQ(w->antennaIdx.load(), 2);
  EXPECT_EQ(w->antennaAuto.load(), 1);
  EXPECT_EQ(w->Attenuator.load(), 2);
  EXPECT_EQ(w->bandIdx.load(), 1);
  EXPECT_EQ(FrequencyChangeChain(w), 0);
  EXPECT_TRUE(log.contains("Tuner: selection commands queued again after 6 refusals"));
}

TEST_F(Selection, APartlyRefusedChainResendsOnlyWhatWasLost) {
  w->tabFiltri[5] = FilterRow{18000000, 18200000, 1};
  setBix(14200000);
  FrequencyChangeChain(w);
  drain();
  w->bypass = 0;
  // Room for two: the frequency and the filter get through, the thresholds do not.
  for (int i = 0; i < kCmdQueueMaxPending - 2; ++i) ASSERT_EQ(IncPNTIn_CMDLinear(LIN_ST, w), LIN_ST);
  testlib::LogCapture log;
  setBix(18100000);
  FrequencyChangeChain(w);
  std::vector<int> q = drain();
  EXPECT_EQ(std::vector<int>(q.end() - 2, q.end()), (std::vector<int>{LIN_FA, LIN_SF}));
  EXPECT_EQ(w->filterMask.load(), 1 << 5);
  EXPECT_EQ(w->antennaIdx.load(), 1);
  EXPECT_EQ(w->bandIdx.load(), -1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(FrequencyChangeChain(w), 0) << "pass " << i;
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  // 17 m keeps the default band row: antenna 1, tuner bypassed, amplifier in stand-by.
  EXPECT_EQ(drain(), (std::vector<int>{LIN_FA, LIN_TS, LIN_SA, LIN_MT1_BYPASS, LIN_AB1}));
  EXPECT_EQ(w->antennaIdx.load(), 0);
  EXPECT_EQ(w->curConfigRow.load(), 2);
  EXPECT_EQ(w->bandIdx.load(), 6);

  // A threshold evaluation on its own (the start-up burst) also asks for a new pass when refused.
  for (int i = 0; i < kCmdQueueMaxPending; ++i) IncPNTIn_CMDLinear(LIN_ST, w);
  w->curConfigRow = -1;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(w->curConfigRow.load(), -1);
  EXPECT_EQ(w->bandIdx.load(), -1);
  drain();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(FrequencyChangeChain(w), 0) << "pass " << i;
  EXPECT_EQ(FrequencyChangeChain(w), 1);
  q = drain();
  EXPECT_EQ(std::count(q.begin(), q.end(), LIN_TS), 1);
}

TEST_F(Selection, DefaultThresholdsDoNotHideTheFirstRow) {
  // No frequency yet: the defaults go out once.
  w->freq = 0;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  EXPECT_EQ(w->tsRefl.load(), 1500);
  SearchCambioSoglie_TS(w);
  EXPECT_TRUE(drain().empty());
  // The first frequency falls in row 0: its calibrated words replace the defaults.
  w->freq = 7000000;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  EXPECT_EQ(w->curConfigRow.load(), 0);
  EXPECT_EQ(w->tsRefl.load(), 2190);      // sqrt(30 W / (25 W / 2000^2))
  EXPECT_EQ(w->tsCorrente.load(), 2915);  // 10 A of 14.05 A full scale
  EXPECT_EQ(w->tsPwin.load(), 4095);
  EXPECT_EQ(w->tsFwd.load(), 4095);
  // Back to no frequency: row 0's words stay, nothing is sent.
  w->freq = 0;
  SearchCambioSoglie_TS(w);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(w->tsRefl.load(), 2190);
}
