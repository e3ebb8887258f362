// Helpers of the menu tests.
#include "tests/ui_menus/menus_fixture.h"

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "tuner/tuner.h"
#include "ui/menu.h"
#include "ui/text.h"

namespace menutest {

void Fixture::SetUp() {
  root.activate();
  tw = std::make_unique<testlib::TestWorks>();
  w = tw->get();
  initSetup(w);
  w->cpPending = 0;  // the error list accepts errors, as after the micro's first "CP"
  w->bypass = 0;     // the amplifier in line
  InstallTunerHooks(w);
  InitMenuMirt(w);
  w->hooks.keyEvent = DecodeTasto;  // as the entry point installs it for the scanner
  drain();
}

int Fixture::press(int key, bool held) { return w->hooks.keyEvent(w, key, held ? 1 << (key - 1) : 0); }

std::vector<int> Fixture::drain() {
  std::vector<int> out;
  for (int s; (s = PopCMDLinear(w)) >= 0;) out.push_back(s);
  return out;
}

std::string Fixture::bottom(int page, int key) {
  MenuKeysText t;
  PageLabelsNow(w, page, &t);
  return t.bottom[key - 1];
}
std::string Fixture::top(int page, int key) {
  MenuKeysText t;
  PageLabelsNow(w, page, &t);
  return t.top[key - 1];
}

std::string Fixture::commands() const {
  return root.exists("/var/log/commands.log") ? root.read("/var/log/commands.log") : "";
}

void ScreenFixture::SetUp() {
  Fixture::SetUp();
  mem = std::make_unique<MemoryScreen>(800, 480);
  w->fb = &mem->s;
  const std::string dejavu = "/usr/share/fonts/truetype/dejavu/";
  const struct {
    int slot;
    const char* file;
    int height;
  } fonts[] = {{0, "DejaVuSans-Bold.ttf", 24}, {1, "DejaVuSans.ttf", 22},  {7, "DejaVuSans-Oblique.ttf", 24},
               {8, "DejaVuSans.ttf", 20},      {10, "DejaVuSans.ttf", 18}, {11, "DejaVuSans-Bold.ttf", 21}};
  for (const auto& f : fonts) TTFLoad((dejavu + f.file).c_str(), f.height, f.slot);
}

}  // namespace menutest
