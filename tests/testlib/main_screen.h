// The main screen as the tests and benchmarks of the supervisor pass draw it: a virtual framebuffer in
// a temporary root, the screens and fonts of the unit, and a fixed set of readings.
#pragma once
#include <string>

struct Works;

namespace testlib {

class TempRoot;

// Activates the root with an 800x480x32 virtual framebuffer opened into works->fb, makes
// screensDir the working directory (PNG screens are read from it) and loads the meters' fonts.
// False when the screen could not be opened or the folder entered.
bool openMainScreen(const TempRoot& root, Works* works, const std::string& screensDir);

// Work mode 0 at 14.070 MHz, peak needles on, a transmission at 42.5 W forward (51 W peak), 3.2 W
// reflected, SWR 1.8, 12 W drive, and a spectrum of a rippled floor with three signals, one level
// above the grid and one below it.
void setMainScreenReadings(Works* works);

}  // namespace testlib
