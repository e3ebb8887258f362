// The simulator's front-panel commands: what each line does to the panel file, and what it refuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

#include "sim/micro/micro_sim.h"
#include "sim/panel/panel_driver.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;

namespace {

struct Line {
  const char* text;
  const char* answerStart;  // "ok", "error" or "" (not a panel line)
  uint32_t keysDown;        // right after the line
  int paByte;               // reply of the PA code afterwards, -1 unchanged
};

// Every form of the commands, and the ways a person mistypes them.
const Line kLines[] = {
    {"key 3 press", "ok", 0b000100, -1},
    {"key 5 press", "ok", 0b010100, -1},
    {"key 3 release", "ok", 0b010000, -1},
    {"key 5 release", "ok", 0, -1},
    {"key 0 press", "error", 0, -1},
    {"key 7 press", "error", 0, -1},
    {"key 2 push", "error", 0, -1},
    {"key 2 hold", "error", 0, -1},
    {"key 2 hold 0", "error", 0, -1},
    {"key 2 hold 99999999", "error", 0, -1},
    {"key 2 hold 12x", "error", 0, -1},
    {"key -1 press", "error", 0, -1},
    {"pa 200", "ok", 0, 200},
    {"pa 256", "error", 0, 200},
    {"pa -3", "error", 0, 200},
    {"pa", "error", 0, 200},
    {"reading 211 4095", "ok", 0, 4095},
    {"reading 211 4096", "error", 0, 4095},
    {"panel", "keys down", 0, -1},
    {"panel extra", "error", 0, -1},
    {"tx on", "", 0, -1},
    {"keys 1 press", "", 0, -1},
};

TEST(SimPanel, CommandLines) {
  testlib::TempRoot root;
  std::filesystem::create_directories(root.file("/sim"));
  sim::PanelDriver d;
  ASSERT_TRUE(d.open(root.path()));
  for (const Line& l : kLines) {
    const auto answer = d.command(l.text);
    if (*l.answerStart == '\0') {
      EXPECT_FALSE(answer.has_value()) << l.text;
      continue;
    }
    ASSERT_TRUE(answer.has_value()) << l.text;
    EXPECT_EQ(answer->rfind(l.answerStart, 0), 0u) << l.text << " -> " << *answer;
    EXPECT_EQ(d.panel().keysDown(), l.keysDown) << l.text;
    if (l.paByte >= 0) {
      EXPECT_EQ(d.panel().reply(sim::kPaVoltageCode), static_cast<uint32_t>(l.paByte)) << l.text;
    }
  }
}

// Tap and hold come back up by themselves; a press of the same key meanwhile cancels the pending
// release, so a person's long hold is not cut by an earlier tap.
TEST(SimPanel, TimedReleases) {
  testlib::TempRoot root;
  std::filesystem::create_directories(root.file("/sim"));
  sim::PanelDriver d;
  ASSERT_TRUE(d.open(root.path()));
  ASSERT_EQ(d.command("key 4 tap").value().rfind("ok", 0), 0u);
  EXPECT_EQ(d.panel().keysDown(), 0b1000u);
  EXPECT_TRUE(testlib::waitUntil([&] { return d.panel().keysDown() == 0; }, 2s));

  d.command("key 1 hold 50");
  d.press(1);  // held by hand from now on
  EXPECT_FALSE(testlib::waitUntil([&] { return d.panel().keysDown() == 0; }, 300ms)) << "released by the old hold";
  d.release(1);
  EXPECT_EQ(d.panel().keysDown(), 0u);
}

// The lines reach the panel through the simulator's control FIFO, beside the micro's own.
TEST(SimPanel, ThroughTheControlChannel) {
  testlib::TempRoot root;
  std::filesystem::create_directories(root.file("/sim"));
  sim::PanelDriver d;
  ASSERT_TRUE(d.open(root.path()));
  sim::MicroSim micro;
  ASSERT_TRUE(micro.start(root.file("/dev/ttyAMA0")));
  micro.addControlHandler([&d](const std::string& line) { return d.command(line); });
  const std::string fifo = root.file("/sim/control");
  ASSERT_TRUE(micro.serveControl(fifo));
  const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  const char lines[] = "key 6 press\npa 99\ntx on\n";
  ASSERT_EQ(write(fd, lines, sizeof lines - 1), static_cast<ssize_t>(sizeof lines - 1));
  close(fd);
  EXPECT_TRUE(testlib::waitUntil([&] { return d.panel().keysDown() == 0b100000u; }, 5s));
  EXPECT_TRUE(testlib::waitUntil([&] { return d.panel().reply(sim::kPaVoltageCode) == 99u; }, 5s));
  micro.stop();
}

}  // namespace
