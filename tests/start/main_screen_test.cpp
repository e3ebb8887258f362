// The main screen through the real supervisor pass, from fixed readings, against reference images:
// each display mode, the peak needles, the frequency label and the TX lamp.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <string>

#include "core/supervisor.h"
#include "core/works.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/text.h"

namespace {

class MainScreen : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    root.activate();
    root.write("/dev/fb0", "");
    root.write("/dev/fb0.geometry", "800 480 32\n");
    w->fb = fbInit();
    ASSERT_NE(w->fb, nullptr);
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(KORVANE_SOURCE_DIR "/assets/screens"), 0);
    TTFLoad("/usr/share/fonts/truetype/paratype/PTS75F.ttf", 24, 4);
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14, 6);
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20, 8);
    w->ModeWorkIdx = 0;
    w->cpPending = 0;
    w->lastActivity = time(nullptr);
    w->freqMeasured = 14070000;
    w->lastFreq = 14070000;
    w->bandIdx = 0;
    w->EnablePwrPeak = 1;
    w->pwrFwd = 42.5f;
    w->pwrIn = 51.0f;
    w->pwrRefl = 3.2f;
    w->swr = 1.8f;
    w->pwrPW = 12.0f;
    // A noise floor with three signals, and one level above and one below the grid.
    for (int i = 0; i < kPlotLevels; ++i) w->fftLevel[i] = static_cast<float>(-104 + (i * 37) % 9);
    for (auto [bin, level] : {std::pair{300, -40.0f}, {427, -25.0f}, {520, -60.0f}, {600, 20.0f}, {700, -200.0f}})
      w->fftLevel[bin] = level;
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd), 0);
    fbClose(w->fb);
  }
  testlib::TempRoot root;
  testlib::TestWorks w;
  char cwd[4096];
};

TEST_P(MainScreen, EachDisplayModeMatchesItsReferenceImage) {
  const int page = GetParam();
  w->meterPage = page;
  w->stStatus1 = page == 1 ? 0x1 : 0;  // the TX lamp on the first mode's image
  w->PowerUnits = page == 3 ? 1 : 0;   // and readings in dBm on the third
  SupervisorState st;
  // The first pass seeds the peak needles; the second draws them from their peaks.
  timerPass(w.get(), st);
  w->pwrIn = 30.0f;
  timerPass(w.get(), st);
  const Screen* s = w->fb;
  EXPECT_EQ(testlib::compareWithReference(
                testlib::imageOfBuffer(s->screenMem, s->width, s->height, s->lineSize),
                KORVANE_SOURCE_DIR "/tests/start/reference/main-screen-" + std::to_string(page) + ".png",
                {{"frequency", 320, 25, 500, 62},
                 {"TX lamp", 370, 170, 435, 215},
                 {"left meter", 0, 62, 380, 280},
                 {"right meter", 420, 62, 800, 280},
                 {"plot labels", 0, 235, 800, 260},
                 {"key bar", 0, 420, 800, 480}}),
            "");
}

INSTANTIATE_TEST_SUITE_P(Modes, MainScreen, ::testing::Values(1, 2, 3, 4, 5));

}  // namespace
