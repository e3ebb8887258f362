// The TUNE key's run with the paired transceiver, through the real link threads and the supervisor's
// hand-shake: the transceiver is asked for a carrier ("TU120;TX2;") once the amplifier is set up for
// the run, the tune runs on that carrier, is stored, and the transceiver is sent back to receive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <string>
#include <thread>
#include <vector>

#include "amp/link.h"
#include "core/setup.h"
#include "core/supervisor.h"
#include "core/works.h"
#include "platform/root.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "sim/micro/calibration.h"
#include "sim/micro/micro_sim.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "tuner/tables/tables.h"
#include "tuner/tuner.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;

TEST(TuneKey, AsksForACarrierThenTunesStoresAndSendsTheTransceiverBackToReceive) {
  testlib::TempRoot root;
  root.activate();
  testlib::TestWorks tw;
  Works* w = tw.get();
  InitGlobalVar(w);
  w->cpPending = 0;
  InstallTunerHooks(w);
  while (PopCMDLinear(w) >= 0) {
  }
  ParseConfigText(w, sim::configTxt());
  ParseFilterText(w, sim::filterTxt());
  root.write("/opt/set/antenna_b1.txt", "!Bix\n20m 14000000 14350000 1 1 0 0 0.0\n");
  setFlag(w->setup->EnableSerial, '0');
  setFlag(w->setup->EnableCatSerial, '0');
  w->NumBanco = 1;
  w->antennaIdx = 0;
  LoadAllBankTable(w, 1);
  ASSERT_EQ(w->ModeWorkIdx.load(), 1);
  ASSERT_EQ(getFlag(w->setup->EnableSerial), '1');
  w->AutoTuneMode = kAtmEnabled;
  w->SWRescAutoTune = 1.5f;
  w->AutoTuneMaxCicli = 0;

  sim::MicroSim micro;
  ASSERT_TRUE(micro.start(root.file("/dev/ttyAMA0")));
  micro.setAntennaLoad(1, std::complex<double>(100, 30));  // SWR 2.3 untuned: the protection stays calm
  sim::TransceiverSim radio;
  radio.setTxListener([&micro](bool on) {
    micro.setDrive(on ? 5.0 : 0.0);
    micro.setTx(on);
  });
  ASSERT_TRUE(radio.start(root.file("/dev/ttyUSB1")));
  radio.dial(14200000);

  w->running = 1;
  setFlag(w->setup->EnableLinear, '1');
  std::thread link(Linear, w), serial(Serial, w);
  // The supervisor's part of each 10 ms pass: the frequency and the transmission hand-shake.
  std::thread supervisor([w] {
    TxTuneWatch watch;
    while (w->running) {
      FrequencyChangeChain(w);
      SerParam p;
      getParameters(w, &p);
      watch.pass(w, p);
      sleepMs(10);
    }
  });
  auto stopAll = [&] {
    w->running = 0;
    supervisor.join();
    serial.join();
    link.join();
    radio.stop();
    micro.stop();
    setRootPrefix("/");
  };
  ASSERT_TRUE(waitUntil([&] { return w->lastFreq.load() == 14200000; }, 10s)) << (stopAll(), "");
  radio.clearReceived();
  GoTune(w);  // the TUNE key
  const bool back = waitUntil(
      [&] {
        const auto r = radio.received();
        return std::find(r.begin(), r.end(), "RX;") != r.end();
      },
      120s);
  const std::vector<std::string> said = radio.received();
  const bool stored = waitUntil([&] { return root.exists("/opt/set/atu_ant1_b1.txt"); }, 10s);
  const std::string file = root.read("/opt/set/atu_ant1_b1.txt");
  const bool keyedDuringRun = micro.snapshot().tx;
  stopAll();
  ASSERT_TRUE(back) << "the transceiver was never sent back to receive";
  ASSERT_GE(said.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(said.begin(), said.begin() + 2), (std::vector<std::string>{"TU120;", "TX2;"}));
  EXPECT_EQ(said.back(), "RX;");
  EXPECT_TRUE(stored);
  EXPECT_EQ(file.rfind("3130 14200000 1 ", 0), 0u) << file;
  EXPECT_FALSE(keyedDuringRun);
}

}  // namespace
