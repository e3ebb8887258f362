// The main screen through the real supervisor pass, from fixed readings, against reference images:
// each display mode, the peak needles, the frequency label and the TX lamp.
#include <gtest/gtest.h>

#include <unistd.h>
#include <string>

#include "core/supervisor.h"
#include "core/works.h"
#include "tests/testlib/main_screen.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"

namespace {

class MainScreen : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_TRUE(testlib::openMainScreen(root, w.get(), KORVANE_SOURCE_DIR "/assets/screens"));
    testlib::setMainScreenReadings(w.get());
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
