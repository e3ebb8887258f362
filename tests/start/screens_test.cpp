// What a person sees on the simulated unit: start screen with its countdown, the interface page, the closing message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "core/start/threads.h"
#include "core/works.h"
#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"
#include "ui/memory_screen.h"
#include "ui/meter_geometry.h"
#include "ui/png.h"
#include "ui/text.h"

using namespace std::chrono_literals;

using testlib::slurp;

namespace mg = meter_geometry;

namespace {

struct Rgb : testlib::RgbImage {
  Rgb() = default;
  Rgb(testlib::RgbImage i) : testlib::RgbImage(std::move(i)) {}
  uint8_t at(int x, int y, int c) const { return px[(static_cast<size_t>(y) * width + x) * 3 + c]; }
};

Rgb loadPng(const std::string& path) { return testlib::readPngImage(path); }

Rgb readScreen(const std::string& root) {
  std::ifstream f(root + "/dev/fb0", std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(f)), {});
  if (raw.size() < 800u * 480 * 4) return {};
  return testlib::imageOfBuffer(reinterpret_cast<const uint8_t*>(raw.data()), 800, 480, 800 * 4);
}

struct Box {
  int x0, y0, x1, y1;
};

// Pixels of the box that differ from the reference image.
int differing(const Rgb& a, const Rgb& ref, Box b) {
  int n = 0;
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x)
      for (int c = 0; c < 3; ++c)
        if (a.at(x, y, c) != ref.at(x, y, c)) {
          ++n;
          break;
        }
  return n;
}

int whitePixels(const Rgb& a, Box b) {
  int n = 0;
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) n += a.at(x, y, 0) == 255 && a.at(x, y, 1) == 255 && a.at(x, y, 2) == 255;
  return n;
}

// The screen as a picture, once two reads 20 ms apart agree: a read that overlaps the unit's copy of
// a frame would show half of each.
testlib::RgbImage steadyScreen(const std::string& root) {
  testlib::RgbImage last;
  for (int i = 0; i < 50; ++i) {
    Rgb now = readScreen(root);
    if (!now.px.empty()) {
      testlib::RgbImage img{800, 480, std::move(now.px)};
      if (!last.empty() && img.px == last.px) return img;
      last = std::move(img);
    }
    std::this_thread::sleep_for(20ms);
  }
  return {};
}

std::string reference(const char* name) { return std::string(KORVANE_SOURCE_DIR) + "/tests/start/reference/" + name; }

// Where a difference on the start screen's family of frames lies.
const std::vector<testlib::NamedRegion> kStartRegions = {
    {"title", 0, 0, 800, 270},         {"error message", 0, 260, 800, 350},
    {"countdown", 290, 360, 560, 415}, {"closing message", 0, 360, 800, 415},
    {"error tiles", 0, 365, 800, 420}, {"key bar", 0, 420, 800, 480}};

const Box kCountdown{290, 360, 560, 415};  // "Loading ... 5" at x 300, baseline 400, 30-pixel font
const Box kTitle{0, 0, 800, 300};          // everything above the countdown
const Box kPage{0, 0, 800, 350};

TEST(Screens, CountdownThenInterfacePageThenClosingMessage) {
  const std::string screens = std::string(KORVANE_SOURCE_DIR) + "/assets/screens/";
  Rgb start = loadPng(screens + "start.png"), statusB = loadPng(screens + "statusB.png");
  ASSERT_FALSE(start.px.empty());
  ASSERT_FALSE(statusB.px.empty());

  testlib::TempRoot root;
  // Without the supervisor the interface page stays up, so the start-up screens can be watched alone.
  sim::RootOptions opt;
  opt.setup["EnableTime"] = "0";
  ASSERT_TRUE(sim::makeSimRoot(root.path(), opt));
  sim::MicroSim micro;
  micro.setModel(60);
  ASSERT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
  pid_t pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.5");
  // Watch the screen as a person would, until each moment has been seen.
  bool sawCountdown = false, sawInterface = false;
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline && !sawInterface) {
    Rgb now = readScreen(root.path());
    if (!now.px.empty()) {
      if (!sawCountdown && differing(now, start, kTitle) == 0 && whitePixels(now, kCountdown) > 150) {
        sawCountdown = true;
        // Nothing but the countdown is drawn over the start screen.
        EXPECT_EQ(differing(now, start, Box{0, 415, 800, 480}), 0);
        EXPECT_EQ(differing(now, start, Box{0, 300, 290, 415}), 0);
      }
      if (sawCountdown && differing(now, statusB, kPage) == 0) sawInterface = true;
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(sawCountdown);
  EXPECT_TRUE(sawInterface);
  std::string err = slurp(root.path() + "/var/log/stderr.txt");
  for (const char* n : {"5", "4", "3", "2", "1", "0"})
    EXPECT_NE(err.find(std::string("Time Loading ... ") + n + ".."), std::string::npos) << n;
  EXPECT_EQ(err.find("Loading ...-1"), std::string::npos);
  // The interface page carries no countdown left over.
  Rgb page = readScreen(root.path());
  EXPECT_EQ(differing(page, statusB, Box{0, 0, 800, 480}), 0);
  EXPECT_EQ(testlib::compareWithReference(steadyScreen(root.path()), reference("interface-page.png"),
                                          {{"heading", 0, 0, 800, 80},
                                           {"table", 0, 80, 800, 360},
                                           {"error tiles", 0, 365, 800, 420},
                                           {"key bar", 0, 420, 800, 480}}),
            "");

  kill(pid, SIGTERM);
  bool sawClosing = false;
  deadline = std::chrono::steady_clock::now() + 30s;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    Rgb now = readScreen(root.path());
    if (!sawClosing && !now.px.empty() && differing(now, start, kTitle) == 0 &&
        whitePixels(now, Box{0, 360, 800, 415}) > 300) {
      sawClosing = true;
      // The message stays on the screen: nothing wraps onto the left edge.
      EXPECT_EQ(whitePixels(now, Box{0, 360, 200, 415}), 0);
    }
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = 0;
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  micro.stop();
  EXPECT_TRUE(sawClosing);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The program has ended: its last frame, the closing message, stays in the screen file.
  EXPECT_EQ(testlib::compareWithReference(steadyScreen(root.path()), reference("closing.png"), kStartRegions), "");
}

// A countdown frame composed by the countdown thread itself over the start screen, pixel for pixel.
// (The live run above cannot tell which count it caught first on a loaded machine; the last count,
// a single frame here, is the same every time.)
TEST(Screens, CountdownFrameMatchesItsReferenceImage) {
  testlib::TestWorks w;
  MemoryScreen m(800, 480);
  w->fb = &m.s;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(KORVANE_SOURCE_DIR "/assets/screens"), 0);
  snprintf(w->pngName, sizeof w->pngName, "%s", "start");
  getPng(w.get(), 1);
  ASSERT_EQ(chdir(cwd), 0);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
  waitBIX = 0;
  startInitThread = 1;
  LoadThread(w.get());  // one count: "Loading ... 0"
  startInitThread = 0;
  waitBIX = 5;
  EXPECT_EQ(testlib::compareWithReference(testlib::imageOfBuffer(m.s.screenMem, 800, 480, m.s.lineSize),
                                          reference("start-countdown.png"), kStartRegions),
            "");
}

// The comparison itself: one changed pixel fails, and the answer says where it is.
TEST(ReferenceImages, AChangedPixelFailsAndNamesItsRegion) {
  if (testlib::updatingReferenceImages()) GTEST_SKIP() << "updating the reference images";
  testlib::TempRoot root;
  testlib::RgbImage img{40, 30, std::vector<uint8_t>(40 * 30 * 3, 7)};
  const std::string ref = root.path() + "/tiny.png";
  ASSERT_TRUE(testlib::writePngImage(ref, img));
  const std::vector<testlib::NamedRegion> regions = {{"left", 0, 0, 20, 30}, {"right", 20, 0, 40, 30}};
  EXPECT_EQ(testlib::compareWithReference(img, ref, regions), "");
  img.px[(5 * 40 + 25) * 3 + 1] = 8;
  img.px[(9 * 40 + 31) * 3 + 2] = 0;
  const std::string why = testlib::compareWithReference(img, ref, regions);
  EXPECT_NE(why.find("2 pixels differ, within x 25-31, y 5-9; 2 in 'right'."), std::string::npos) << why;
  EXPECT_EQ(why.find("'left'"), std::string::npos) << why;
  EXPECT_NE(testlib::compareWithReference(img, root.path() + "/absent.png", regions).find("no reference image"),
            std::string::npos);
  std::remove("tiny-actual.png");
}

int pixelsOfColour(const Rgb& a, Box b, uint8_t r, uint8_t g, uint8_t bl) {
  int n = 0;
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) n += a.at(x, y, 0) == r && a.at(x, y, 1) == g && a.at(x, y, 2) == bl;
  return n;
}

TEST(Screens, SupervisorShowsTheMeterFaceALinkErrorTileAndTheTemperatureAlarm) {
  const std::string screens = std::string(KORVANE_SOURCE_DIR) + "/assets/screens/";
  Rgb img1 = loadPng(screens + "img1.png");
  ASSERT_FALSE(img1.px.empty());
  testlib::TempRoot root;
  ASSERT_TRUE(sim::makeSimRoot(root.path()));
  sim::MicroSim micro;
  micro.setModel(60);
  ASSERT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
  pid_t pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  // The face between the meters carries no needle and no reading; the left meter's red needle rests
  // on its stop at 0 W.
  const Box face{270, 200, 500, 270}, leftMeter{12, 30, 400, 270}, tile1{6, 371, 130, 414};
  auto waitScreen = [&](auto pred, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      Rgb now = readScreen(root.path());
      if (!now.px.empty() && pred(now)) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  // The first pass puts up the meter face and draws the needles over it.
  EXPECT_TRUE(waitScreen(
      [&](const Rgb& s) { return differing(s, img1, face) == 0 && pixelsOfColour(s, leftMeter, 255, 0, 0) > 150; },
      30s))
      << "face differs in " << differing(readScreen(root.path()), img1, face) << " pixels, red needle pixels "
      << pixelsOfColour(readScreen(root.path()), leftMeter, 255, 0, 0);
  EXPECT_TRUE(waitScreen([&](const Rgb& s) { return pixelsOfColour(s, tile1, 250, 150, 0) == 0; }, 5s));
  // Errors are listed once the micro has answered its first protection clear ("CP").
  auto end = std::chrono::steady_clock::now() + 30s;
  auto sawCp = [&] {
    for (const auto& c : micro.received())
      if (c.rfind("CP", 0) == 0) return true;
    return false;
  };
  while (!sawCp() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(500ms);
  // A silent micro: four tries 1.5 s apart, then the link error appears as an orange tile.
  micro.command("fault silent");
  EXPECT_TRUE(waitScreen([&](const Rgb& s) { return pixelsOfColour(s, tile1, 250, 150, 0) > 2000; }, 30s))
      << slurp(root.path() + "/var/log/stderr.txt").substr(0, 4000);
  micro.command("fault none");
  // A heat sink past the alarm limit: the red "High temperature" tile joins the row, and the
  // micro has received the protection.
  const Box tileRow{6, 371, 795, 414};
  micro.command("fault hot");
  micro.advance(900);
  EXPECT_TRUE(waitScreen([&](const Rgb& s) { return pixelsOfColour(s, tileRow, 255, 30, 0) > 2000; }, 30s))
      << slurp(root.path() + "/var/log/stderr.txt").substr(0, 4000);
  // The tile is listed as the alarm is seen; the protection command follows it down the queue.
  EXPECT_TRUE(testlib::waitUntil([&] { return micro.snapshot().protect; }, 10s));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  micro.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string log = slurp(root.path() + "/var/log/korvane.log");
  EXPECT_NE(log.find("Timer thread started"), std::string::npos);
  EXPECT_NE(log.find("Timer operations end"), std::string::npos);
}

// The simulated amplifier transmits at a steady drive: the forward needle on the screen file points
// at the power the micro's couplers measure, as the link decodes it.
TEST(Screens, ForwardNeedlePointsAtTheTransmittedPower) {
  testlib::TempRoot root;
  ASSERT_TRUE(sim::makeSimRoot(root.path()));
  sim::MicroSim micro;
  micro.setModel(60);
  ASSERT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
  pid_t pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  // The value whose needle covers the screen at 85 % of its length: the mean of the red positions.
  auto needleValue = [](const Rgb& s) {
    double sum = 0;
    int n = 0;
    for (double v = 0; v <= 60; v += 0.05) {
      const auto p = mg::NeedlePoint(mg::kPivotLeft, mg::NeedleAngle(v, 60), 0.85);
      const int x = static_cast<int>(p.x), y = static_cast<int>(p.y);
      if (s.at(x, y, 0) == 255 && s.at(x, y, 1) == 0 && s.at(x, y, 2) == 0) {
        sum += v;
        ++n;
      }
    }
    return n ? sum / n : -1.0;
  };
  micro.command("tx on");
  bool matched = false;
  double shown = -1, sent = -1;
  for (const double drive : {25.0, 8.0}) {
    micro.command("drive " + std::to_string(drive));
    matched = false;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!matched && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(100ms);
      sent = micro.snapshot().fwdW;
      shown = needleValue(readScreen(root.path()));
      matched = sent > 1 && std::abs(shown - sent) < 1.0 && std::abs(micro.snapshot().fwdW - sent) < 0.1;
    }
    EXPECT_TRUE(matched) << "drive " << drive << " W: the micro measures " << sent << " W, the needle shows " << shown;
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  micro.stop();
}

}  // namespace
