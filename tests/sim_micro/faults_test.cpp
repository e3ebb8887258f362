// Fault injection and the control channel of the simulated micro.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "tests/sim_micro/fixture.h"

namespace {

using namespace std::chrono_literals;
using simtest::SimFixture;

TEST_F(SimFixture, SilentMicroLogsButNeverAnswers) {
  startSim();
  EXPECT_EQ(sim_->command("fault silent"), "ok fault silent");
  ASSERT_TRUE(client_->send("ST;"));
  for (int i = 0; i < 500 && sim_->received().empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(sim_->received(), std::vector<std::string>{"ST;"});
  EXPECT_TRUE(client_->silentFor(300ms));
  // The settings still reach the device; only the replies are lost.
  ASSERT_TRUE(client_->send("SA2;"));
  for (int i = 0; i < 200 && sim_->snapshot().antenna != 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(sim_->snapshot().antenna, 2);
  EXPECT_EQ(sim_->command("fault none"), "ok faults cleared");
  EXPECT_EQ(client_->ask("VSM;"), "VSM2.07.13;");
}

TEST_F(SimFixture, SilentFromStartOptions) {
  sim::MicroSimOptions o;
  o.faults = {sim::Fault::Silent};
  startSim(o);
  ASSERT_TRUE(client_->send("VSM;"));
  EXPECT_TRUE(client_->silentFor(300ms));
  EXPECT_TRUE(sim_->faultActive(sim::Fault::Silent));
}

TEST_F(SimFixture, SlowRepliesArriveLateAndInOrder) {
  sim::MicroSimOptions o;
  o.slowDelay = 1500ms;
  startSim(o);
  sim_->injectFault(sim::Fault::Slow);
  ASSERT_TRUE(client_->send("VSM;SA2;"));
  EXPECT_TRUE(client_->silentFor(1000ms));  // the delay is a lower bound
  EXPECT_EQ(client_->readReply(10s), "VSM2.07.13;");
  EXPECT_EQ(client_->readReply(10s), "SA2;");
}

TEST_F(SimFixture, GarbledRepliesAreCorrupted) {
  sim::MicroSimOptions o;
  o.garbleRate = 0.3;
  startSim(o);
  sim_->command("fault garble");
  // Collect raw bytes for a batch of fixed-text replies; some must differ.
  const std::string want = "VSM2.07.13;";
  ASSERT_TRUE(client_->send([&] {
    std::string s;
    for (int i = 0; i < 20; ++i) s += "VSM;";
    return s;
  }()));
  std::string got;
  const uint64_t total = 20 * want.size();
  for (int i = 0; i < 500 && sim_->bytesSent() < total; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(sim_->bytesSent(), total);  // corruption keeps the length
  while (got.size() < total) {
    std::string part = client_->readReply(2s, total);
    if (part.empty()) break;
    got += part;
  }
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += want;
  ASSERT_GE(got.size(), 1u);
  EXPECT_NE(got, expected.substr(0, got.size()));
}

TEST_F(SimFixture, ErrorRepliesCycleThroughTheThreeMarks) {
  startSim();
  sim_->injectFault(sim::Fault::Error);
  EXPECT_EQ(client_->ask("ST;"), "ST?;");
  EXPECT_EQ(client_->ask("FM;"), "FM!;");
  EXPECT_EQ(client_->ask("SA1;"), "SA&;");
  sim_->clearFault(sim::Fault::Error);
  EXPECT_EQ(client_->ask("SA1;"), "SA1;");
}

TEST_F(SimFixture, OverlongRepliesPassFiveHundredCharacters) {
  startSim();
  sim_->command("fault overlong");
  const std::string r = client_->ask("ST;", 3000ms);
  EXPECT_GT(r.size(), 500u);
  EXPECT_EQ(r.substr(0, 2), "ST");
  EXPECT_EQ(r.back(), ';');
}

TEST_F(SimFixture, ResetRestoresDefaultsAndRaisesBitSeven) {
  startSim();
  client_->ask("MR0;");
  client_->ask("AB0;");
  client_->ask("SA3;");
  client_->ask("AT11;");
  client_->ask("MT100812345;");
  EXPECT_EQ(sim_->command("fault reset"), "ok fault reset");
  simtest::Status st;
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults & 0x80, 0x80);
  EXPECT_EQ(st.s1 & 0x8, 0x8);
  EXPECT_EQ(st.s0 & 0xC, 0);
  EXPECT_EQ(sim_->snapshot().antenna, 1);
  EXPECT_EQ(client_->ask("MT;"), "MT100010000;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults & 0x80, 0x80);  // stays until acknowledged
  client_->ask("MR0;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.faults, 0);
}

TEST_F(SimFixture, HotHeatSinkShowsOnTheSecondThermistor) {
  startSim();
  simtest::Status st;
  sim_->command("fault hot");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_LE(st.t2, sim::thermistorReading(74.0));
  EXPECT_GE(sim_->snapshot().temp2C, 75.0);
  sim_->command("fault hot off");
  sim_->advance(900);
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_GT(st.t2, sim::thermistorReading(50.0));  // cooled down once released
}

TEST_F(SimFixture, SwrTripLatchesUntilProtectionsAreCleared) {
  startSim();
  client_->ask("MR0;");
  sim_->command("fault swr");
  simtest::Status st;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
    EXPECT_EQ(st.s1 & 0x2, 0x2);
    EXPECT_EQ(st.faults & 0x2, 0x2);
  }
  EXPECT_EQ(client_->ask("CPFFFF;"), "CPFFFF;");
  ASSERT_TRUE(simtest::parseStatus(client_->ask("ST;"), st));
  EXPECT_EQ(st.s1 & 0x2, 0);
  EXPECT_EQ(st.faults, 0);
}

TEST_F(SimFixture, TextCommands) {
  startSim();
  EXPECT_EQ(sim_->command("tx on"), "ok tx on");
  EXPECT_EQ(sim_->command("drive 25"), "ok drive 25");
  EXPECT_EQ(sim_->command("freq 7100000"), "ok freq 7100000");
  auto s = sim_->snapshot();
  EXPECT_TRUE(s.tx);
  EXPECT_DOUBLE_EQ(s.driveW, 25.0);
  EXPECT_EQ(s.freqHz, 7100000u);
  EXPECT_EQ(sim_->command("antenna-load 3 12.5 -30"), "ok antenna 3 load 12.5 -30");
  sim_->command("tx off");
  client_->ask("SA3;");
  EXPECT_EQ(sim_->snapshot().antennaZ, std::complex<double>(12.5, -30));
  EXPECT_EQ(sim_->command("antenna-load 3 auto"), "ok antenna 3 follows frequency");
  EXPECT_EQ(sim_->snapshot().antennaZ, sim::antennaImpedance(3, 7.1e6));
  EXPECT_EQ(sim_->command("model 120"), "ok model 120");
  EXPECT_NE(sim_->command("dump").find("antenna 3"), std::string::npos);
  for (const char* bad : {"", "tx maybe", "drive -3", "drive 1e400", "freq abc", "model 100", "fault melt",
                          "antenna-load 4 50 0", "antenna-load 1 -5 0", "launch"})
    EXPECT_EQ(sim_->command(bad).rfind("error:", 0), 0u) << bad;
  EXPECT_EQ(sim_->snapshot().model, 120);
  EXPECT_DOUBLE_EQ(sim_->snapshot().driveW, 0.0);  // tx off: nothing at the input
}

TEST_F(SimFixture, ControlFifoDrivesTheSimulator) {
  startSim();
  const std::string fifo = dir_.path() + "/micro.ctl";
  ASSERT_TRUE(sim_->serveControl(fifo));
  const int fd = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string lines = "freq 21200000\r\nnonsense here\ntx on\ndrive 3\n";
  ASSERT_EQ(::write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ::close(fd);
  for (int i = 0; i < 500 && sim_->snapshot().driveW != 3.0; ++i) std::this_thread::sleep_for(10ms);
  const auto s = sim_->snapshot();
  EXPECT_EQ(s.freqHz, 21200000u);
  EXPECT_TRUE(s.tx);
  EXPECT_DOUBLE_EQ(s.driveW, 3.0);
  // A regular file in the way is refused.
  const std::string plain = dir_.path() + "/plain";
  {
    std::FILE* f = std::fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  EXPECT_FALSE(sim_->serveControl(plain));
}

TEST_F(SimFixture, ReopeningTheLinkKeepsServing) {
  startSim();
  EXPECT_EQ(client_->ask("VSM;"), "VSM2.07.13;");
  client_.reset();
  simtest::PtyClient again(link_);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.ask("SA2;"), "SA2;");
}

}  // namespace
