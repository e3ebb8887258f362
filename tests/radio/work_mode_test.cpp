// Work modes: choosing one starts its link thread and stops the other, at run time, on real ports.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/setup.h"
#include "core/start/threads.h"
#include "core/works.h"
#include "platform/root.h"
#include "radio/radio.h"
#include "sim/ft817/ft817_sim.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;

TEST(WorkMode, SwitchingStartsAndStopsTheLinkThreads) {
  testlib::TempRoot root;
  root.activate();
  testlib::TestWorks tw;
  Works* w = tw.get();
  w->running = 1;
  w->cpPending = 0;  // errors are listed from the start
  w->hooks.startThreadBIX = StartThreadBIX;
  w->hooks.startThreadCATserial = StartThreadCATserial;
  Mirtsetup* s = w->setup;
  setFlag(s->EnableSerial, '0');
  setFlag(s->EnableCatSerial, '0');
  snprintf(s->CatSerialPort, sizeof s->CatSerialPort, "%s", "/dev/ttyUSB2");
  sim::TransceiverSim radio;
  sim::Ft817Sim rig;
  ASSERT_TRUE(radio.start(root.file("/dev/ttyUSB1")));
  ASSERT_TRUE(rig.start(root.file("/dev/ttyUSB2")));
  rig.setFrequency(7074000);
  auto freqCur = [&] {
    SerParam p;
    getParameters(w, &p);
    return p.freqCur;
  };

  w->ModeWorkIdx = 1;
  SetModeWorkIDX(w);
  ASSERT_TRUE(waitUntil([&] { return freqCur() == 14070000; }, 5s));
  EXPECT_FALSE(thrCatSer.alive.load());
  AddErrore(w, kErrorBixData);

  // Mode 2 while mode 1 runs: the packet link stops and its warning goes.
  w->ModeWorkIdx = 2;
  SetModeWorkIDX(w);
  EXPECT_EQ(ExistError(w, kErrorBixData), 0);
  ASSERT_TRUE(waitUntil([&] { return !thrSer.alive.load(); }, 2s));
  ASSERT_TRUE(waitUntil([&] { return w->freqCatSerial.load() == 7074000; }, 5s));
  radio.dial(3573000);

  // Mode 0: nothing runs.
  w->ModeWorkIdx = 0;
  SetModeWorkIDX(w);
  ASSERT_TRUE(waitUntil([&] { return !thrCatSer.alive.load() && !thrSer.alive.load(); }, 3s));
  EXPECT_EQ(w->catSerFD.load(), -1);
  EXPECT_EQ(w->serFD.load(), -1);

  // Back to 1 at once after 0 and 2 in a row: the link comes back and follows the dial again.
  w->ModeWorkIdx = 2;
  SetModeWorkIDX(w);
  w->ModeWorkIdx = 1;
  SetModeWorkIDX(w);
  EXPECT_TRUE(waitUntil([&] { return freqCur() == 3573000; }, 5s));
  EXPECT_TRUE(waitUntil([&] { return !thrCatSer.alive.load(); }, 3s));
  EXPECT_EQ(w->portError.load(), 0);

  w->running = 0;
  joinThread(thrSer);
  joinThread(thrCatSer);
  radio.stop();
  rig.stop();
  setRootPrefix("/");
}

}  // namespace
