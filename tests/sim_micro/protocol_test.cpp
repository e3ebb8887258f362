// Reply forms of the simulated micro, exercised through a real pty.
#include <gtest/gtest.h>

#include <cctype>
#include <thread>

#include "tests/sim_micro/fixture.h"

namespace {

using namespace std::chrono_literals;
using simtest::SimFixture;

bool allHex(const std::string& s) {
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::islower(static_cast<unsigned char>(c))) return false;
  return true;
}

TEST_F(SimFixture, LinkIsASymlinkToThePtySlave) {
  startSim();
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_symlink(link_, ec));
  EXPECT_EQ(std::filesystem::read_symlink(link_, ec).string(), sim_->slavePath());
  sim_->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link_)));
  sim_->stop();  // idempotent
}

TEST_F(SimFixture, StartReplacesAStaleLink) {
  ASSERT_FALSE(dir_.path().empty());
  const std::string link = dir_.path() + "/ttyAMA0";
  std::filesystem::create_symlink("/nonexistent/pts/99", link);
  sim::MicroSim s;
  ASSERT_TRUE(s.start(link));
  simtest::PtyClient c(link);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.ask("VSM;"), "VSM2.07.13;");
  s.stop();
  EXPECT_FALSE(s.start(dir_.path() + "/missing-dir/ttyAMA0"));
}

TEST_F(SimFixture, StatusReplyLayout) {
  startSim();
  simtest::Status st;
  std::string r = client_->ask("ST;");
  ASSERT_TRUE(simtest::parseStatus(r, st)) << r;
  EXPECT_EQ(st.faults, 0x80);  // fresh from power-on: reset bit until "MR0;"
  EXPECT_EQ(st.s1, 0x8);       // amplifier bypassed after a reset
  EXPECT_EQ(r.substr(30, 2), "00");
  EXPECT_EQ(client_->ask("MR0;"), "MR0;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults, 0);
  // Room temperature on both thermistors: close to mid-scale.
  EXPECT_NEAR(st.t2, 2048, 120);
  EXPECT_GT(st.t2, st.t1);  // the board sensor sits a little warmer
  // Attenuator and bypass bits follow the commands.
  EXPECT_EQ(client_->ask("AT10;"), "AT10;");
  EXPECT_EQ(client_->ask("AB0;"), "AB0;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.s0 & 0xC, 0x8);
  EXPECT_EQ(st.s1 & 0x8, 0);
  EXPECT_EQ(client_->ask("AN1;"), "AN1;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.s0 & 0x1, 0x1);
}

TEST_F(SimFixture, StatusWhileTransmittingCarriesPowerAndCurrent) {
  startSim();
  sim_->setFrequency(14200000);
  sim_->setAntennaLoad(1, std::complex<double>(50, 0));
  client_->ask("MR0;");
  client_->ask("AB0;");
  sim_->setDrive(4.0);
  sim_->setTx(true);
  simtest::Status st;
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.s1 & 0x1, 0x1);
  const auto k = simtest::kFromConfig(sim::configTxt(), 14.2e6);
  const double fwd = k.k0 * st.fwd * st.fwd;
  EXPECT_NEAR(fwd, sim_->snapshot().fwdW, 2.0);
  EXPECT_GT(fwd, 60.0);
  EXPECT_NEAR(k.k2 * st.pw * st.pw, 4.0, 0.1);
  EXPECT_NEAR(simtest::unitSwr(st, k), 1.0, 0.08);
  EXPECT_EQ(st.peak, st.fwd);
  const double amps = st.cur / 4096.0 * 14.05;
  EXPECT_GT(amps, 2.0);
  EXPECT_LT(amps, 8.0);
}

TEST_F(SimFixture, SwrOfFourWithAQuarterOhmLoadAsTheUnitComputesIt) {
  startSim();
  sim_->setFrequency(7100000);
  sim_->setAntennaLoad(1, std::complex<double>(12.5, 0));
  client_->ask("MR0;");
  client_->ask("AB0;");
  // 36 % comes back: the power-on reflected threshold (1500 counts) would trip.
  EXPECT_EQ(client_->ask("TS4095409540953700;"), "TS4095409540953700;");
  sim_->setDrive(1.0);
  sim_->setTx(true);
  simtest::Status st;
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_NEAR(simtest::unitSwr(st, simtest::kFromConfig(sim::configTxt(), 7.1e6)), 4.0, 0.25);
}

TEST_F(SimFixture, ConfigurationBlocks) {
  startSim();
  for (int b = 0; b < 3; ++b) {
    const std::string r = client_->ask("ER000" + std::to_string(b) + ";");
    ASSERT_EQ(r.size(), 6u + 64u + 1u) << r;
    EXPECT_EQ(r.substr(0, 6), "ER000" + std::to_string(b));
    EXPECT_TRUE(allHex(r.substr(6, 64))) << r;
  }
  EXPECT_EQ(client_->ask("ER0002;").substr(8, 2), "31");
  EXPECT_EQ(sim_->command("model 60"), "ok model 60");
  EXPECT_EQ(client_->ask("ER0002;").substr(8, 2), "30");
  EXPECT_EQ(client_->ask("ER0003;"), "ER!;");
}

TEST_F(SimFixture, FrequencyCounter) {
  startSim();
  sim_->setFrequency(14200000);
  EXPECT_EQ(client_->ask("FM;"), "FM000000000000;");  // no RF, nothing to count
  sim_->setDrive(2.0);
  sim_->setTx(true);
  const std::string r = client_->ask("FM;");
  ASSERT_EQ(r.size(), 15u);
  EXPECT_EQ(r.substr(3, 11), "00014200000");
  sim_->setFrequency(50313000);
  EXPECT_EQ(client_->ask("FM;").substr(3, 11), "00050313000");
  EXPECT_EQ(sim_->command("counter always"), "ok counter always");
  sim_->setTx(false);
  EXPECT_EQ(client_->ask("FM;").substr(3, 11), "00050313000");
}

TEST_F(SimFixture, SettingCommandsAreEchoedAndApplied) {
  startSim();
  EXPECT_EQ(client_->ask("SA3;"), "SA3;");
  EXPECT_EQ(sim_->snapshot().antenna, 3);
  EXPECT_EQ(client_->ask("SA0;"), "SA!;");
  EXPECT_EQ(client_->ask("SA4;"), "SA!;");
  EXPECT_EQ(client_->ask("FA00014070000;"), "FA00014070000;");
  EXPECT_EQ(client_->ask("FA14070000;"), "FA!;");
  EXPECT_EQ(client_->ask("FS10050;"), "FS10050;");
  EXPECT_EQ(client_->ask("TS2213390430673498;"), "TS2213390430673498;");
  EXPECT_EQ(sim_->snapshot().ts, (std::array<int, 4>{2213, 3904, 3067, 3498}));
  EXPECT_EQ(client_->ask("TS4096409515003700;"), "TS!;");
  EXPECT_EQ(sim_->snapshot().ts[0], 2213);  // a refused command changes nothing
  EXPECT_EQ(client_->ask("FN1050;"), "FN1050;");
  EXPECT_EQ(sim_->snapshot().fanPct, 50);
  EXPECT_EQ(client_->ask("FN1101;"), "FN!;");
  EXPECT_EQ(client_->ask("PS0001000200030004;"), "PS0001000200030004;");
  EXPECT_EQ(client_->ask("SF3000010;"), "SF3000010;");
  EXPECT_EQ(sim_->snapshot().filterMask, 0x10);
  EXPECT_EQ(client_->ask("GM00100020;"), "GM00100020;");
  EXPECT_EQ(client_->ask("MP1;"), "MP1;");
  EXPECT_TRUE(sim_->snapshot().protect);
  EXPECT_EQ(client_->ask("CPFFFF;"), "CPFFFF;");
  EXPECT_EQ(client_->ask("AT2;"), "AT!;");
  EXPECT_EQ(client_->ask("AB2;"), "AB!;");
  const std::string gs = client_->ask("GS;");
  ASSERT_EQ(gs.size(), 13u);
  EXPECT_EQ(client_->ask("GS0200000000;"), "GS0200000000;");
  EXPECT_EQ(client_->ask("GS;"), "GS0200000000;");
}

TEST_F(SimFixture, TunerRelayWord) {
  startSim();
  EXPECT_EQ(client_->ask("MT;"), "MT100010000;");  // bypass after power-on
  const uint32_t w = sim::encodeTuneWord(123, 45, sim::Network::CL);
  char cmd[32];
  std::snprintf(cmd, sizeof cmd, "MT1%08X;", w);
  EXPECT_EQ(client_->ask(cmd), cmd);
  EXPECT_EQ(sim_->snapshot().tuneWord, w);
  EXPECT_EQ(client_->ask("MT;"), cmd);
  std::snprintf(cmd, sizeof cmd, "MT1%08x;", sim::encodeTuneWord(7, 9, sim::Network::LC));
  const std::string r = client_->ask(cmd);
  EXPECT_EQ(r.substr(0, 3), "MT1");
  EXPECT_TRUE(allHex(r.substr(3, 8))) << r;         // answered in upper case
  EXPECT_EQ(client_->ask("MT100840000;"), "MT!;");  // CL and LC at once
  EXPECT_EQ(client_->ask("MT1ZZ840000;"), "MT!;");
  EXPECT_EQ(sim::decodeTuneWord(sim_->snapshot().tuneWord).l, 7);
}

TEST_F(SimFixture, UnknownAndMalformedCommandsGetErrorReplies) {
  startSim();
  EXPECT_EQ(client_->ask("XY;"), "XY?;");
  EXPECT_EQ(client_->ask("ST1;"), "ST!;");
  EXPECT_EQ(client_->ask("x;"), "???;");
  EXPECT_EQ(client_->ask("CPFF;"), "CP!;");
  EXPECT_TRUE(client_->send(";"));  // a lone terminator is not a command
  EXPECT_EQ(client_->ask("VSM;"), "VSM2.07.13;");
  // A run of bytes with no terminator is dropped, and the next command is served.
  EXPECT_TRUE(client_->send(std::string(1000, 'A')));
  EXPECT_EQ(client_->ask(";ST;").substr(0, 2), "ST");
  const auto log = sim_->received();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].rfind("<overflow>", 0), 0u);
  EXPECT_EQ(log.back(), "ST;");
}

TEST_F(SimFixture, FirmwareLoaderAnswersBusyUntilRestarted) {
  startSim();
  client_->ask("MR0;");
  EXPECT_EQ(client_->ask("MR1;"), "MR1;");
  EXPECT_EQ(client_->ask("ST;"), "ST&;");
  EXPECT_EQ(client_->ask("MR0;"), "MR0;");
  simtest::Status st;
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults & 0x80, 0x80);  // it came back from a restart
  client_->ask("MR0;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults & 0x80, 0);
}

TEST_F(SimFixture, ReceivedLogKeepsOrderAndTime) {
  startSim();
  const std::vector<std::string> cmds = {"VSM;", "ER0000;", "ER0001;", "ER0002;", "MP0;", "SA1;", "ST;"};
  for (const auto& c : cmds) ASSERT_FALSE(client_->ask(c).empty()) << c;
  EXPECT_EQ(sim_->received(), cmds);
  const auto timed = sim_->receivedTimed();
  ASSERT_EQ(timed.size(), cmds.size());
  for (size_t i = 1; i < timed.size(); ++i) EXPECT_LE(timed[i - 1].at, timed[i].at);
  sim_->clearReceived();
  EXPECT_TRUE(sim_->received().empty());
  // Several commands in one write are logged one by one.
  ASSERT_TRUE(client_->send("ST;FM;ST;"));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(client_->readReply().empty());
  EXPECT_EQ(sim_->received(), (std::vector<std::string>{"ST;", "FM;", "ST;"}));
  // Non-printing bytes are shown, not swallowed.
  client_->ask("S\x01;");
  EXPECT_EQ(sim_->received().back(), "S\\x01;");
}

}  // namespace

namespace {

// A plain coordinate search over the relay word, scored only by what the status
// replies say: the way a tuner search sees the simulator.
double measuredSwr(simtest::PtyClient& c, uint32_t word, const simtest::K& k) {
  char cmd[32];
  std::snprintf(cmd, sizeof cmd, "MT1%08X;", word);
  if (c.ask(cmd) != cmd) return 1e9;
  simtest::Status st;
  if (!simtest::parseStatus(c.ask("ST;"), st)) return 1e9;
  return simtest::unitSwr(st, k);
}

TEST_F(SimFixture, SearchOverTheLinkTunesTheEndFedWire) {
  startSim();
  const double f = 14.2e6;
  sim_->setFrequency(14200000);
  client_->ask("MR0;");
  client_->ask("AB0;");
  client_->ask("SA3;");
  client_->ask("TS4095409540953700;");
  sim_->setDrive(0.5);
  sim_->setTx(true);
  const auto k = simtest::kFromConfig(sim::configTxt(), f);
  const double bypass = measuredSwr(*client_, sim::kNetBypass, k);
  EXPECT_GT(bypass, 3.0);
  double best = 1e9;
  for (sim::Network net : {sim::Network::CL, sim::Network::LC}) {
    int v[2] = {0, 0};  // L, C
    double cur = measuredSwr(*client_, sim::encodeTuneWord(0, 0, net), k);
    // Eight directions and small steps: the match lies in a narrow valley of the
    // (L, C) plane, a few capacitor steps wide for a high-impedance wire.
    static const int dirs[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    for (int step : {4, 2, 1}) {
      for (bool moved = true; moved;) {
        moved = false;
        for (const auto& d : dirs) {
          const int l = v[0] + d[0] * step, c = v[1] + d[1] * step;
          if (l < 0 || l > 511 || c < 0 || c > 511) continue;
          const double s = measuredSwr(*client_, sim::encodeTuneWord(l, c, net), k);
          if (s < cur) {
            cur = s;
            v[0] = l;
            v[1] = c;
            moved = true;
          }
        }
      }
    }
    best = std::min(best, cur);
  }
  // A greedy search ends in the valley but not always at its floor: the valley runs
  // obliquely to the relay steps, as it does on real hardware.
  EXPECT_LT(best, 2.5);
  EXPECT_LT(best, bypass / 2);
  // The same model in-process: the floor of the valley, and never better than it.
  double brute = 1e9;
  const auto z = sim::antennaImpedance(3, f);
  for (sim::Network net : {sim::Network::CL, sim::Network::LC})
    for (int l = 0; l < 512; l += 2)
      for (int c = 0; c < 512; c += 2) brute = std::min(brute, sim::networkSwr(l, c, net, f, z));
  EXPECT_LT(brute, 1.2);
  EXPECT_LE(brute, best + 0.02);
}

}  // namespace
