// The main screen of the supervisor pass tests and benchmarks.
#include "tests/testlib/main_screen.h"

#include <unistd.h>
#include <ctime>
#include <utility>

#include "core/works.h"
#include "tests/testlib/temp_root.h"
#include "ui/fb.h"
#include "ui/text.h"

namespace testlib {

bool openMainScreen(const TempRoot& root, Works* w, const std::string& screensDir) {
  root.activate();
  root.write("/dev/fb0", "");
  root.write("/dev/fb0.geometry", "800 480 32\n");
  w->fb = fbInit();
  if (!w->fb || chdir(screensDir.c_str()) != 0) return false;
  TTFLoad("/usr/share/fonts/truetype/paratype/PTS75F.ttf", 24, 4);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14, 6);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20, 8);
  return true;
}

void setMainScreenReadings(Works* w) {
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
  w->stStatus1 = 1;
  for (int i = 0; i < kPlotLevels; ++i) w->fftLevel[i] = static_cast<float>(-104 + (i * 37) % 9);
  for (auto [bin, level] : {std::pair{300, -40.0f}, {427, -25.0f}, {520, -60.0f}, {600, 20.0f}, {700, -200.0f}})
    w->fftLevel[bin] = level;
}

}  // namespace testlib
