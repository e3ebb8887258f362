// The link thread on a line whose far end stopped reading: its writes time out and it still stops.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "tests/testlib/pty.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

namespace {
using namespace std::chrono_literals;
using testlib::Pty;
using testlib::waitUntil;
}  // namespace

TEST(SerialPort, StalledLineDoesNotHoldTheLinkOrTheShutdown) {
  testlib::TempRoot root;
  root.activate();
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  mkdir(root.file("/dev").c_str(), 0755);
  ASSERT_EQ(symlink(pty.name.c_str(), root.file("/dev/ttyAMA0").c_str()), 0);

  testlib::TestWorks tw;
  Works* w = tw.get();
  w->running = 1;
  setFlag(w->setup->EnableLinear, '1');
  testlib::LogCapture log;
  std::atomic<bool> ended{false};
  std::thread link([&] {
    Linear(w);
    ended = true;
  });
  // The line fills once the link has set it up (the raw settings change how much it takes).
  EXPECT_TRUE(waitUntil([&] { return log.contains("OK works->linFD"); }, 20s));
  std::atomic<bool> stopFill{false};
  std::thread filler([&] { pty.fillUntil(stopFill); });
  const bool logged = waitUntil([&] { return log.contains("timed out"); }, 20s);
  w->running = 0;
  const bool stopped = waitUntil([&] { return ended.load(); }, 20s);
  stopFill = true;
  filler.join();
  if (!stopped)
    while (!ended) pty.drain();
  link.join();
  setRootPrefix("/");
  EXPECT_TRUE(logged);
  EXPECT_TRUE(stopped) << "the link thread stayed in its write";
  EXPECT_TRUE(log.contains("Linear: write of ST; timed out"));
}
