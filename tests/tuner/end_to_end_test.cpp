// End to end: the selection chain and an auto-tune run through the real link thread and the simulated micro.
#include "tests/tuner/tuner_test_util.h"

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "core/setup.h"
#include "core/works.h"
#include "platform/deferred_writes.h"
#include "platform/root.h"
#include "sim/micro/calibration.h"
#include "sim/micro/micro_sim.h"
#include "tests/testlib/wait.h"
#include "ui/errors.h"

using namespace std::chrono_literals;

namespace {
using testlib::waitUntil;

struct EndToEnd : tunertest::Fixture {
  sim::MicroSim micro;
  std::thread link;
  void SetUp() override {
    Fixture::SetUp();
    ASSERT_TRUE(micro.start(root.file("/dev/ttyAMA0")));
    w->running = 1;
    setFlag(w->setup->EnableLinear, '1');
    ParseConfigText(w, sim::configTxt());
    ParseFilterText(w, sim::filterTxt());
  }
  void TearDown() override {
    w->running = 0;
    if (link.joinable()) link.join();
    micro.stop();
    setRootPrefix("/");
  }
  void startLink() { link = std::thread(Linear, w); }
  // An antenna of impedance `load` on hz (14.2 MHz), bank 1, antenna 1, auto-tune to SWR 1.5: the link
  // runs and the transceiver transmits 5 W, ready for GoTune.
  void transmitAt(std::complex<double> load, uint64_t hz) {
    micro.setAntennaLoad(1, load);
    micro.setFrequency(hz);
    w->freq = hz;
    w->NumBanco = 1;
    w->antennaIdx = 0;
    w->AutoTuneMode = 1;
    w->SWRescAutoTune = 1.5f;
    w->AutoTuneMaxCicli = 0;
    w->tuneWord = kTuneNetCL;
    w->atuBypass = 0;
    if (!link.joinable()) startLink();
    ASSERT_TRUE(waitUntil([&] { return micro.received().size() > 4; }, 10s));
    micro.setDrive(5.0);
    micro.setTx(true);
    w->txActive = 1;  // the transceiver's transmit flag, as its link reports it
  }
  void transmitInto(std::complex<double> load) { transmitAt(load, 14200000); }
  std::vector<std::string> commandsOnly() { return testlib::withoutPolls(micro.received()); }
};
}  // namespace

TEST_F(EndToEnd, FrequencyChangeOnABandWithAStoredTuneAppliesIt) {
  tunertest::StderrCapture quiet;
  root.write("/opt/set/antenna_b1.txt", "!Bix\n20m 14000000 14350000 1 2 0 1 0.0\n");
  root.write("/opt/set/atu_ant2_b1.txt", "3131 14210000 1 2 123 45\n");
  w->NumBanco = 1;
  LoadAllBankTable(w, 1);
  ASSERT_EQ(w->ModeWorkIdx.load(), 1);
  drain();
  {
    std::lock_guard<std::mutex> lk(*w->serMut);
    w->serParam.freqCur = 14200000;
  }
  ASSERT_EQ(FrequencyChangeChain(w), 1);
  startLink();
  Works probe;
  SetMode(&probe, 2);
  SetI(&probe, 123);
  SetC(&probe, 45);
  const uint32_t word = probe.tuneWord;
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().tuneWord == word; }, 20s));
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().attIndex == 1; }, 20s));
  std::vector<std::string> cmds = commandsOnly();
  char mt[16];
  snprintf(mt, sizeof mt, "MT1%08X;", word);
  std::vector<std::string> want_order = {"FA00014200000;", "SA2;", mt, "AB0;", "AT01;"};
  size_t pos = 0;
  for (auto& c : cmds)
    if (pos < want_order.size() && c == want_order[pos]) ++pos;
  EXPECT_EQ(pos, want_order.size()) << "commands seen: " << ::testing::PrintToString(cmds);
  EXPECT_EQ(micro.snapshot().antenna, 2);
}

TEST_F(EndToEnd, AutoTuneRunStoresTheTuneAndSendsTheBestWord) {
  tunertest::StderrCapture quiet;
  const std::complex<double> load(2000, 0);
  w->ModeWorkIdx = 1;
  transmitInto(load);
  GoTune(w);
  ASSERT_TRUE(waitUntil([&] { return w->tuneState == 0; }, 120s)) << "step " << w->tuneStep.load();
  ASSERT_TRUE(root.exists("/opt/set/atu_ant1_b1.txt"));
  std::string file = root.read("/opt/set/atu_ant1_b1.txt");
  const uint32_t best = w->tuneWord;
  char line[64];
  snprintf(line, sizeof line, "3130 14200000 1 %d %d %d\n", DecodeModoFromTuneval(best),
           DecodeInduttanzaFromTuneval(best), DecodeCapacitaFromTuneval(best));
  EXPECT_EQ(file, line);
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().tuneWord == best; }, 20s));
  // The amplifier measures through its couplers, so its SWR is near, not equal to, the model's:
  // the stored match must still turn a 40:1 load into a usable one.
  EXPECT_LT(sim::networkSwr(best, 14.2e6, load), 2.5);
  EXPECT_GT(sim::networkSwr(kTuneNetBypass, 14.2e6, load), 30.0);
  // The run went through the tuning set-up: protection, tuning attenuator, raised input threshold.
  std::vector<std::string> cmds = commandsOnly();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "MP1;"), cmds.end());
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "CPFFFF;"), cmds.end());
  EXPECT_EQ(w->AutoTuneMode.load() & 0x04, 0x04);
}

// Storing the tune remounts /opt/set; with a slow remount the link must keep polling meanwhile.
TEST_F(EndToEnd, TuneStoreNeverHoldsTheLinkBehindTheRemount) {
  tunertest::StderrCapture quiet;
  root.write("/bin/mount", "#!/bin/sh\nsleep 1\nexit 0\n");
  chmod(root.file("/bin/mount").c_str(), 0755);
  DeferredWrites writer;
  w->fileWriter = &writer;
  transmitInto(std::complex<double>(50, 0));
  micro.clearReceived();
  GoTune(w);
  ASSERT_TRUE(waitUntil([&] { return w->tuneState == 0; }, 60s));
  // Two seconds of remounts follow the store; the link goes on meanwhile.
  std::this_thread::sleep_for(2500ms);
  writer.flush();
  EXPECT_TRUE(root.exists("/opt/set/atu_ant1_b1.txt"));
  auto t = micro.receivedTimed();
  ASSERT_GT(t.size(), 20u);
  long worst = 0;
  for (size_t i = 1; i < t.size(); ++i)
    worst = std::max<long>(worst, std::chrono::duration_cast<std::chrono::milliseconds>(t[i].at - t[i - 1].at).count());
  RecordProperty("longest_poll_gap_ms", static_cast<int>(worst));
  EXPECT_LT(worst, 900) << "the link waited on the remount";
  w->fileWriter = nullptr;
}

namespace {
// The matching search through the real link and the simulated micro, which measures the SWR
// through its couplers as the unit does.
struct MatchEndToEnd : EndToEnd {
  void transmitAt(std::complex<double> load, uint64_t hz) {
    w->tuneSearch = 1;
    EndToEnd::transmitAt(load, hz);
  }
};
}  // namespace

// Each simulated antenna on several bands: the run reaches the target, stores the tune in the
// memory and leaves the best word on the relays.
TEST_F(MatchEndToEnd, EachAntennaOnSeveralBandsReachesTheTarget) {
  tunertest::StderrCapture quiet;
  for (int ant = 1; ant <= 3; ++ant)
    for (uint64_t hz : {7100000ull, 14200000ull, 21200000ull, 28500000ull}) {
      SCOPED_TRACE(testing::Message() << "antenna " << ant << " " << hz);
      const std::complex<double> load = sim::antennaImpedance(ant, static_cast<double>(hz));
      DeleteErrore(w, kErrorTuneMaxSwr);
      transmitAt(load, hz);
      GoTune(w);
      ASSERT_TRUE(waitUntil([&] { return w->tuneState == 0; }, 60s));
      const uint32_t best = w->tuneWord;
      AtuSegment seg;
      const int idx = AtuIdxSearch(hz, &seg);
      char line[64];
      snprintf(line, sizeof line, "%d %ld 1 %d %d %d\n", idx, AtuFreqfromIdx(idx), DecodeModoFromTuneval(best),
               DecodeInduttanzaFromTuneval(best), DecodeCapacitaFromTuneval(best));
      EXPECT_NE(root.read("/opt/set/atu_ant1_b1.txt").find(line), std::string::npos) << line;
      ASSERT_TRUE(waitUntil([&] { return micro.snapshot().tuneWord == best; }, 20s));
      // The couplers' reading is near the model's, not equal to it.
      EXPECT_LT(sim::networkSwr(best, static_cast<double>(hz), load), 1.7);
      EXPECT_EQ(ExistError(w, kErrorTuneMaxSwr), 0);
      micro.setTx(false);
      w->AutoTuneMode = 1;
    }
}

// The TUNE key mid-run and a carrier that never comes end the matching search as they end the
// step climb: nothing stored, the tuning attenuator given back.
TEST_F(MatchEndToEnd, CancelAndMissingCarrierEndTheRun) {
  tunertest::StderrCapture quiet;
  transmitAt(std::complex<double>(2000, 0), 14200000);
  GoTune(w);
  ASSERT_TRUE(waitUntil(
      [&] {
        std::lock_guard<std::recursive_mutex> lk(w->tuneRunMut);  // the run's counters are the link's
        return w->cnttune >= 3 || w->tuneState == 0;
      },
      20s));
  GoTune(w);  // cancel
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b1.txt"));

  micro.setTx(false);  // no carrier: every reading lacks forward power
  const uint32_t before = kTuneNetLC | 0x15;
  w->tuneWord = before;
  w->AutoTuneMode = 1;
  GoTune(w);
  ASSERT_TRUE(waitUntil([&] { return w->tuneState == 0; }, 30s));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b1.txt"));
  EXPECT_EQ(ExistError(w, kErrorTuneMaxSwr), 1);
  ASSERT_TRUE(waitUntil([&] { return micro.snapshot().tuneWord == before; }, 20s));
}
