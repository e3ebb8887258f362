// The simulator's window on a virtual X server: it shows the unit's screen, and a click reaches the unit's keys.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/gpio_panel.h"
#include "sim/root/mkroot.h"
#include "sim/unit/shot.h"
#include "tests/sim_window/xclient.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;

namespace {

bool onPath(const char* prog) {
  const std::string cmd = std::string("command -v ") + prog + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

// A private X server; its display number comes back through -displayfd.
struct Xvfb {
  pid_t pid = 0;
  int readFd = -1;
  std::string display;
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The number and then its newline come in two writes: read up to the newline, and keep our
    // end open, or the server's second write fails and it gives up.
    readFd = fds[0];
    std::string got;
    testlib::waitUntil(
        [&] {
          char c = 0;
          while (got.find('\n') == std::string::npos && got.size() < 16 && read(readFd, &c, 1) == 1) got += c;
          return got.find('\n') != std::string::npos || got.size() >= 16;
        },
        10s);
    if (got.empty() || got.back() != '\n') return false;
    display = ":" + got.substr(0, got.size() - 1);
    return true;
  }
  ~Xvfb() {
    if (readFd >= 0) close(readFd);
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// Share of the window's 800x480 screen area whose pixels equal the framebuffer file's.
double screenMatch(xclient::Client& x, const sim::ScreenSnapshot& fb) {
  if (!x.grab(800, 480)) return 0;
  size_t same = 0;
  for (int y = 0; y < 480; ++y)
    for (int px = 0; px < 800; ++px) {
      const xclient::Rgb c = x.pixel(px, y);
      const auto* p = reinterpret_cast<const unsigned char*>(fb.pixels.data()) + (y * 800 + px) * 4;
      if (c.r == p[2] && c.g == p[1] && c.b == p[0]) ++same;
    }
  return static_cast<double>(same) / (800.0 * 480.0);
}

TEST(SimWindow, ShowsTheScreenAndAClickOnKey6ReachesTheUnit) {
  if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): the window is not tested";
  Xvfb x;
  ASSERT_TRUE(x.start()) << "Xvfb did not start";
  // The server may name its display a moment before it takes connections.
  xclient::Client xc;
  ASSERT_TRUE(testlib::waitUntil([&] { return xc.open(x.display); }, 10s)) << "no connection to " << x.display;
  testlib::TempRoot root;
  ASSERT_TRUE(sim::makeSimRoot(root.path(), {}));

  // Whatever happens to the test, the simulator (and the unit under it) ends with it.
  struct Sim {
    pid_t pid = 0;
    ~Sim() {
      if (pid > 0) testlib::stopUnit(pid, SIGINT, 30s);
    }
  } simGuard;
  pid_t sim = fork();
  if (sim == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const std::string err = root.path() + "/var/log/sim-stderr.txt";
    freopen(err.c_str(), "w", stderr);
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("KORVANE_STARTUP_SCALE", "0.05", 1);
    // In a sanitizer build: the one leak of the system's session-bus library is not the simulator's.
    const char* lsan = getenv("LSAN_OPTIONS");
    const std::string supp = std::string("suppressions=") + KORVANE_LSAN_SUPPRESSIONS;
    setenv("LSAN_OPTIONS", (lsan && *lsan ? std::string(lsan) + ":" + supp : supp).c_str(), 1);
    execl(KORVANE_SIM_BINARY, "korvane-sim", "run", root.path().c_str(), "--window", "--shot-every", "0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  simGuard.pid = sim;
  ASSERT_TRUE(testlib::waitUntil([&] { return xc.findWindow("korvane"); }, 20s))
      << testlib::slurp(root.path() + "/var/log/sim-stderr.txt");

  // The unit draws its status screen; the window shows the same pixels (a read of the file just
  // before or just after the window's picture matches it).
  double best = 0;
  testlib::waitUntil(
      [&] {
        sim::ScreenSnapshot before, after;
        if (!sim::readScreen(root.path(), before) || before.bpp != 32) return false;
        if (before.pixels.find_first_not_of('\0') == std::string::npos) return false;
        best = std::max(best, screenMatch(xc, before));
        if (sim::readScreen(root.path(), after)) best = std::max(best, screenMatch(xc, after));
        return best > 0.99;
      },
      20s);
  EXPECT_GT(best, 0.99) << "the window does not show the unit's screen";

  // A quick click on key 6, the way a person clicks: the unit's GPIO thread reads it through the
  // register model.
  GpioPanel panel;
  ASSERT_TRUE(panel.open(root.path() + "/sim/gpio_panel"));
  const uint32_t seen = panel.pressesSeen(6);
  xc.click(731, 480 + 35);
  EXPECT_TRUE(testlib::waitUntil([&] { return panel.pressesSeen(6) > seen; }, 10s));
  EXPECT_TRUE(testlib::waitUntil([&] { return panel.keysDown() == 0; }, 5s)) << "the tap ends by itself";
  EXPECT_EQ(panel.pressesSeen(1) + panel.pressesSeen(5), 0u) << "no other key";

  simGuard.pid = 0;
  EXPECT_EQ(testlib::stopUnit(sim, SIGINT, 60s), 0) << testlib::slurp(root.path() + "/var/log/sim-stderr.txt");
}

}  // namespace
