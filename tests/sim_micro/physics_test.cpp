// Physics of the simulated micro: tuner network, antennas, PA, couplers, heat.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/micro/calibration.h"
#include "sim/micro/micro_model.h"
#include "sim/micro/tuner_model.h"
#include "tests/sim_micro/fixture.h"

namespace {

using sim::Network;
using cd = std::complex<double>;

struct Best {
  double swr = 1e9;
  int l = 0, c = 0;
  Network net = Network::Bypass;
};
Best bruteForce(double f, cd load, int stride = 1) {
  Best b;
  for (Network n : {Network::CL, Network::LC})
    for (int l = 0; l < 512; l += stride)
      for (int c = 0; c < 512; c += stride) {
        const double s = sim::networkSwr(l, c, n, f, load);
        if (s < b.swr) b = {s, l, c, n};
      }
  return b;
}

TEST(TunerWord, BitsMatchTheRelayMap) {
  // C = 511 drives exactly the capacitor relays; L = 511 exactly the inductor relays.
  const uint32_t c = sim::encodeTuneWord(0, 511, Network::CL) & ~sim::kNetCL;
  uint32_t want = 0;
  for (int b : {15, 2, 4, 6, 14, 12, 10, 8, 20}) want |= 1u << b;
  EXPECT_EQ(c, want);
  const uint32_t l = sim::encodeTuneWord(511, 0, Network::LC) & ~sim::kNetLC;
  want = 0;
  for (int b : {1, 3, 5, 7, 13, 11, 9, 19, 21}) want |= 1u << b;
  EXPECT_EQ(l, want);
  // Weight 1 of C is bit 15 and weight 128 of L is bit 19: the interleaving is not regular.
  EXPECT_EQ(sim::decodeTuneWord(1u << 15).c, 1);
  EXPECT_EQ(sim::decodeTuneWord(1u << 19).l, 128);
  for (int v : {0, 1, 77, 256, 300, 511}) {
    const auto s = sim::decodeTuneWord(sim::encodeTuneWord(v, 511 - v, Network::LC));
    EXPECT_EQ(s.l, v);
    EXPECT_EQ(s.c, 511 - v);
    EXPECT_EQ(s.net, Network::LC);
    EXPECT_TRUE(s.valid);
  }
}

TEST(TunerWord, NetworkBits) {
  EXPECT_EQ(sim::decodeTuneWord(0x800000).net, Network::CL);
  EXPECT_EQ(sim::decodeTuneWord(0x40000).net, Network::LC);
  EXPECT_EQ(sim::decodeTuneWord(0x10000).net, Network::Bypass);
  EXPECT_EQ(sim::decodeTuneWord(0).net, Network::Bypass);
  EXPECT_FALSE(sim::decodeTuneWord(0x840000).valid);
  EXPECT_FALSE(sim::decodeTuneWord(0x810000).valid);
}

TEST(TunerNetwork, BypassShowsTheLoadItself) {
  EXPECT_NEAR(sim::networkSwr(0x10000, 14.2e6, cd(50, 0)), 1.0, 1e-9);
  EXPECT_NEAR(sim::networkSwr(0x10000, 14.2e6, cd(12.5, 0)), 4.0, 1e-9);
  EXPECT_NEAR(sim::networkSwr(0x10000, 14.2e6, cd(200, 0)), 4.0, 1e-9);
  EXPECT_DOUBLE_EQ(sim::networkSwr(0x10000, 14.2e6, cd(0, 0)), 100.0);
}

TEST(TunerNetwork, BruteForceMatchesHighAndLowLoads) {
  // 200 ohms wants the capacitor on the antenna side (LC), 12.5 ohms on the
  // amplifier side (CL); both end far below the 4:1 of bypass.
  const Best hi = bruteForce(14.2e6, cd(200, 0));
  EXPECT_LT(hi.swr, 1.15);
  EXPECT_EQ(hi.net, Network::LC);
  const Best lo = bruteForce(14.2e6, cd(12.5, 0));
  EXPECT_LT(lo.swr, 1.15);
  EXPECT_EQ(lo.net, Network::CL);
  // Every matching setting needs real parts: step 0 of both banks does little.
  EXPECT_GT(sim::networkSwr(0, 0, Network::LC, 14.2e6, cd(200, 0)), 3.5);
}

TEST(TunerNetwork, LossyCoilCostsPower) {
  const Best b = bruteForce(3.6e6, cd(10, -200), 2);
  sim::TunerSetting s{b.l, b.c, b.net, true};
  const double eff = sim::networkEfficiency(s, 3.6e6, cd(10, -200));
  EXPECT_LT(eff, 0.97);  // several uH at Q 100 into 10 ohms
  EXPECT_GT(eff, 0.3);
  EXPECT_DOUBLE_EQ(sim::networkEfficiency(sim::decodeTuneWord(0x10000), 3.6e6, cd(10, -200)), 1.0);
}

TEST(Antennas, OneIsCloseToFiftyOhmsFromEightyMetresUp) {
  for (double f : {3.6e6, 7.1e6, 10.12e6, 14.2e6, 18.1e6, 21.2e6, 24.9e6, 28.5e6, 50.1e6})
    EXPECT_LT(sim::networkSwr(0x10000, f, sim::antennaImpedance(1, f)), 1.7) << f;
  EXPECT_GT(sim::networkSwr(0x10000, 1.85e6, sim::antennaImpedance(1, 1.85e6)), 2.0);
}

TEST(Antennas, DipoleIsGoodOnFortyOnly) {
  const double on = sim::networkSwr(0x10000, 7.1e6, sim::antennaImpedance(2, 7.1e6));
  EXPECT_LT(on, 1.6);
  for (double f : {3.6e6, 14.2e6, 28.5e6})
    EXPECT_GT(sim::networkSwr(0x10000, f, sim::antennaImpedance(2, f)), 5.0) << f;
  // On 20 m it is a full-wave dipole: kilohms at the feed point.
  EXPECT_GT(sim::antennaImpedance(2, 14.2e6).real(), 1500.0);
}

TEST(Antennas, EndFedWireIsHardButTunableOnTwentyMetres) {
  int bad = 0;
  for (double f : {1.85e6, 3.6e6, 10.12e6, 14.2e6, 18.1e6, 21.2e6, 24.9e6, 28.5e6})
    bad += sim::networkSwr(0x10000, f, sim::antennaImpedance(3, f)) > 3.0;
  EXPECT_GE(bad, 6);
  const double f = 14.2e6;
  const Best b = bruteForce(f, sim::antennaImpedance(3, f), 2);
  EXPECT_LT(b.swr, 1.5);
  // On 160 m the short wire is beyond the bank's inductance.
  EXPECT_GT(bruteForce(1.85e6, sim::antennaImpedance(3, 1.85e6), 8).swr, 2.0);
}

TEST(Calibration, ConfigRowsAreTheCouplerTheModelUses) {
  const std::string cfg = sim::configTxt();
  for (double f : {1.9e6, 3.6e6, 7.1e6, 14.2e6, 21.2e6, 28.5e6, 50.1e6}) {
    const auto k = simtest::kFromConfig(cfg, f);
    const auto c = sim::couplerAt(f);
    EXPECT_NEAR(k.k0 / c.k0, 1.0, 1e-6) << f;
    EXPECT_NEAR(k.k1 / c.k1, 1.0, 1e-6) << f;
    EXPECT_NEAR(k.k2 / c.k2, 1.0, 1e-6) << f;
    EXPECT_DOUBLE_EQ(k.k3, c.k3);
  }
  // Every data line carries the 24 numbers of a calibration row.
  std::istringstream in(cfg);
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == ';') continue;
    ASSERT_LT(line.size(), 255u);
    std::istringstream ls(line);
    int n = 0;
    for (std::string t; ls >> t;) ++n;
    EXPECT_EQ(n, 24) << line;
    ++rows;
  }
  EXPECT_GE(rows, 3);
}

TEST(Calibration, FilterAndFanFiles) {
  std::istringstream f(sim::filterTxt());
  int rows = 0;
  for (std::string line; std::getline(f, line);) {
    if (line.empty() || line[0] == ';') continue;
    unsigned long lo = 0, hi = 0;
    int en = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lu %lu %d", &lo, &hi, &en), 3) << line;
    EXPECT_LT(lo, hi);
    ++rows;
  }
  EXPECT_EQ(rows, 8);
  std::istringstream v(sim::ventolaTxt());
  double lastT = -1e9;
  int lastStep = -1;
  for (std::string line; std::getline(v, line);) {
    if (line.empty() || line[0] == ';') continue;
    double t = 0, step = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf %lf", &t, &step), 2);
    EXPECT_GT(t, lastT);
    EXPECT_GT(step, lastStep);
    lastT = t;
    lastStep = static_cast<int>(step);
  }
  EXPECT_EQ(lastStep, 100);
}

class ModelTest : public ::testing::Test {
 protected:
  // Amplifier in line, reset acknowledged, 20 m, antenna 1 held at 50 ohms.
  void SetUp() override {
    m.handle("MR0");
    m.handle("AB0");
    m.setFrequency(14200000);
    m.setAntennaLoad(1, cd(50, 0));
  }
  sim::MicroModel m{120};
};

TEST_F(ModelTest, UnitReadsTheModelsWattsBack) {
  m.setTx(true);
  m.setDrive(3.0);
  const auto s = m.snapshot();
  ASSERT_GT(s.fwdW, 30.0);
  const auto k = simtest::kFromConfig(sim::configTxt(), 14.2e6);
  EXPECT_NEAR(k.k0 * s.rawFWD * s.rawFWD, s.fwdW, s.fwdW * 0.01);
  EXPECT_NEAR(k.k2 * s.rawPW * s.rawPW, 3.0, 0.05);
  // The reflected coupler carries the directivity leakage that K3 takes out again.
  EXPECT_GT(s.rawREFL, 0);
  EXPECT_NEAR(k.k1 * s.rawREFL * s.rawREFL + k.k3 * s.fwdW, 0.0, 0.2);
}

TEST_F(ModelTest, SaturationOfTheSixtyWattModel) {
  m.setModel(60);
  m.setTx(true);
  m.setDrive(2.0);
  const double p2 = m.snapshot().fwdW;
  m.setDrive(5.0);
  const double p5 = m.snapshot().fwdW;
  m.setDrive(10.0);
  const double p10 = m.snapshot().fwdW;
  EXPECT_GT(p2, 25.0);  // nearly linear at low drive (12 dB)
  EXPECT_GT(p5, p2);
  EXPECT_LT(p10 / p5, 1.2);  // doubling the drive barely helps near saturation
  EXPECT_LT(p10, 70.0);
  m.setModel(120);
  EXPECT_GT(m.snapshot().fwdW, 110.0);
}

TEST_F(ModelTest, AttenuatorPadsAndBypass) {
  m.setTx(true);
  m.setDrive(4.0);
  const double none = m.snapshot().paInputW;
  m.handle("AT11");
  EXPECT_NEAR(m.snapshot().paInputW, none * std::pow(10.0, -0.5), 1e-9);
  EXPECT_EQ(m.snapshot().status0 & 0xC, 0xC);
  m.handle("AT01");
  EXPECT_NEAR(m.snapshot().paInputW, none * std::pow(10.0, -0.2), 1e-9);
  EXPECT_EQ(m.snapshot().status0 & 0xC, 0x4);
  // Stand-by: the transceiver's own power passes, the PA draws nothing.
  m.handle("AB1");
  EXPECT_NEAR(m.snapshot().fwdW, 4.0, 1e-9);
  EXPECT_EQ(m.snapshot().currentA, 0.0);
  EXPECT_TRUE(m.snapshot().status1 & sim::bits::kS1Bypass);
}

TEST_F(ModelTest, SwrFollowsTheLoadAndTheTuner) {
  m.setTx(true);
  m.setDrive(2.0);
  EXPECT_NEAR(m.snapshot().swr, 1.0, 0.01);
  m.setAntennaLoad(1, cd(200, 0));
  EXPECT_NEAR(m.snapshot().swr, 4.0, 0.01);
  const Best b = bruteForce(14.2e6, cd(200, 0));
  char cmd[32];
  std::snprintf(cmd, sizeof cmd, "MT1%08X", sim::encodeTuneWord(b.l, b.c, b.net));
  m.handle(cmd);
  EXPECT_LT(m.snapshot().swr, 1.15);
  EXPECT_LT(m.snapshot().reflW, 0.01 * m.snapshot().fwdW);
}

TEST_F(ModelTest, HeatsWithDissipationAndCoolsWithTheFan) {
  const double t0 = m.snapshot().temp2C;
  m.advance(120);
  EXPECT_NEAR(m.snapshot().temp2C, t0, 0.01);  // idle receive: no dissipation
  m.setTx(true);
  m.setDrive(5.0);
  m.advance(300);
  const auto hot = m.snapshot();
  EXPECT_GT(hot.temp2C, t0 + 15.0);
  EXPECT_GT(hot.temp1C, t0 + 5.0);
  EXPECT_LT(hot.rawT2, sim::thermistorReading(t0));  // hotter thermistor, lower reading
  // Same heat with the fan at full: the sink settles lower than without it.
  sim::MicroModel fan{120};
  fan.handle("MR0");
  fan.handle("AB0");
  fan.setFrequency(14200000);
  fan.setAntennaLoad(1, cd(50, 0));
  fan.handle("FN1100");
  fan.setTx(true);
  fan.setDrive(5.0);
  fan.advance(300);
  EXPECT_LT(fan.snapshot().temp2C, hot.temp2C - 10.0);
  // Back to receive with the fan on: it cools.
  m.handle("FN1100");
  m.setTx(false);
  m.advance(300);
  EXPECT_LT(m.snapshot().temp2C, hot.temp2C - 15.0);
}

TEST(Thermistor, ReadingsFollowTheDivider) {
  EXPECT_NEAR(sim::thermistorReading(25.0), 2047.5, 1.0);
  EXPECT_GT(sim::thermistorReading(0.0), sim::thermistorReading(25.0));
  EXPECT_LT(sim::thermistorReading(80.0), 1000);
  // 10 k divider: R = reading*10/(4095-reading) gives the table's 3.635 k at 50 C.
  const int r50 = sim::thermistorReading(50.0);
  EXPECT_NEAR(r50 * 10.0 / (4095.0 - r50), 3.635, 0.01);
}

TEST_F(ModelTest, ThresholdTripsLatchUntilCleared) {
  m.setTx(true);
  m.setDrive(3.0);
  m.setAntennaLoad(1, cd(12.5, 0));  // SWR 4: 36 % reflected
  m.handle("TS4095409510003700");    // REFL trips at 1000 counts
  m.advance(0.1);
  auto s = m.snapshot();
  EXPECT_TRUE(s.faults & sim::bits::kFaultRefl);
  EXPECT_TRUE(s.status1 & sim::bits::kS1Alarm);
  EXPECT_EQ(s.fwdW, 0.0);  // bias removed
  m.handle("TS4095409540953700");
  m.advance(0.1);
  EXPECT_TRUE(m.snapshot().faults & sim::bits::kFaultRefl);  // latched
  m.handle("CPFFFF");
  m.advance(0.1);
  s = m.snapshot();
  EXPECT_EQ(s.faults & 0x1F, 0);
  EXPECT_FALSE(s.status1 & sim::bits::kS1Alarm);
  EXPECT_GT(s.fwdW, 30.0);
  // Current limit.
  m.handle("TS4095409540950100");
  m.advance(0.1);
  EXPECT_TRUE(m.snapshot().faults & sim::bits::kFaultIOut);
}

TEST_F(ModelTest, WrongFilterAndOutOfBandRaiseTheirBits) {
  m.setTx(true);
  m.setDrive(2.0);
  m.handle("SF3000002");  // 80 m low-pass while on 20 m
  m.advance(0.1);
  EXPECT_TRUE(m.snapshot().faults & sim::bits::kFaultFilter);
  m.handle("CPFFFF");
  m.handle("SF3000010");  // the 20 m filter
  m.advance(0.1);
  EXPECT_EQ(m.snapshot().faults & 0x1F, 0);
  m.setFrequency(12000000);  // no filter covers it
  EXPECT_TRUE(m.snapshot().faults & sim::bits::kFaultBand);
  EXPECT_EQ(m.snapshot().fwdW, 0.0);
}

}  // namespace
