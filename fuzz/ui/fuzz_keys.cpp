// Fuzz target: random key events and page jumps into the key dispatch, in a scratch root of its own;
// no page, cursor, bank or step may leave its range, and the button bar must still draw.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "tuner/tuner.h"
#include "ui/memory_screen.h"
#include "ui/menu.h"

namespace {

struct Scratch {
  std::unique_ptr<Works> w = std::make_unique<Works>();
  Mirtsetup setup{};
  MemoryScreen screen{800, 480};
  std::string root;

  Scratch() {
    char dir[] = "/tmp/korvane-fuzz-keys-XXXXXX";
    root = mkdtemp(dir) ? dir : "/tmp";
    for (const char* d : {"/bin", "/opt", "/opt/set", "/var", "/var/log", "/etc", "/etc/network"})
      mkdir((root + d).c_str(), 0755);
    // The remounts of /opt/set succeed at once: the fuzzer is after the dispatch, not the shell.
    const std::string mount = root + "/bin/mount";
    std::ofstream(mount) << "#!/bin/sh\nexit 0\n";
    chmod(mount.c_str(), 0755);
    setRootPrefix(root);
    const char* path = getenv("PATH");
    setenv("PATH", (root + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    w->setup = &setup;
    initSetup(w.get());
    w->cpPending = 0;
    InstallTunerHooks(w.get());
    InitMenuMirt(w.get());
    w->fb = &screen.s;
    w->hooks.keyEvent = DecodeTasto;
  }
};

bool within(int v, int lo, int hi) { return v >= lo && v <= hi; }

void check(Works* w) {
  // A bank chosen before MAX BANK was lowered keeps its number; none goes past the twenty banks.
  const struct {
    const char* name;
    bool ok;
  } checks[] = {
      {"menuPage", within(w->menuPage, 0, kMenuPagesUsed - 1)},
      {"paramIndex", within(w->paramIndex, 0, kParamCount - 1)},
      {"MAXbank", within(w->MAXbank, 2, 20)},
      {"NumBanco", within(w->NumBanco, 0, 19)},
      {"saveBank", within(w->saveBank, 0, 19)},
      {"saveAnt", within(w->saveAnt, 0, 2)},
      {"copyFrom", within(w->copyFrom, 0, 19)},
      {"copyTo", within(w->copyTo, 0, 19)},
      {"resetBank", within(w->resetBank, 0, 20)},
      {"tabCol", within(w->tabCol, -1, 4)},
      {"tabRow", within(w->tabRow, 0, kBandRows - 1)},
      {"Attenuator", within(w->Attenuator, 0, 3)},
      {"AttenuatorTune", within(w->AttenuatorTune, 0, 3)},
      {"antennaIdx", within(w->antennaIdx, 0, 2)},
      {"meterPage", within(w->meterPage, 1, 5)},
      {"tuneL", within(w->tuneL, 0, 511)},
      {"tuneC", within(w->tuneC, 0, 511)},
      {"AutoTuneMaxCicli", within(w->AutoTuneMaxCicli, 0, 4)},
      {"SaveScreenIdx", within(w->SaveScreenIdx, 0, 4)},
      {"PointDiv", within(w->PointDiv, 1, 20)},
      {"RefPos", within(w->RefPos, 0, 10)},
      {"SWRescAutoTune", w->SWRescAutoTune == 0.0f || (w->SWRescAutoTune >= 1.0f && w->SWRescAutoTune <= 10.0f)},
      {"TimerPeakSec", within(TimerPeakSec, 0, 5000)},
      {"TIME_LONG_PRESS", TIME_LONG_PRESS >= 0.29 && TIME_LONG_PRESS <= 5.01},
      {"address cursors",
       within(CntIP, 0, 3) && within(CntNetMask, 0, 3) && within(CntGateway, 0, 3) && within(CntDNS, 0, 3)},
  };
  for (const auto& c : checks) {
    if (!c.ok) {
      fprintf(stderr, "out of range: %s\n", c.name);
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  Works* w = scratch.w.get();
  // Each input starts from the same state on the main page.
  w->menuPage = 0;
  w->statusPage = 0;
  w->portError = 0;
  w->screenSaverOn = 0;
  w->msgFlags = 0;
  // Two bytes per event: the key (0 and 7 are not keys) and how it comes.
  for (size_t i = 0; i + 1 < size && i < 400; i += 2) {
    const int key = data[i] & 7;
    const uint8_t how = data[i + 1];
    if (how & 0x80) w->menuPage = how & 0x0F;  // a page the keys did not lead to, sometimes none at all
    if (how & 0x40) w->stStatus1 = w->stStatus1 ^ kStatus1Tx;
    if (how & 0x20) w->bypass = !w->bypass;
    if ((how & 0x18) == 0x18) w->screenSaverOn = 1;
    if ((how & 0x06) == 0x06) w->portError = (how >> 3) & 7;
    const int heldMask = (how & 1) ? (key >= 1 ? 1 << (key - 1) : 0x3F) : 0;
    DecodeTasto(w, key, heldMask);
    while (PopCMDLinear(w) >= 0) {
    }
    if (w->portError < 0) w->portError = 0;  // the supervisor's part
    check(w);
  }
  {
    std::lock_guard<std::mutex> lk(scratch.screen.s.drawMut);
    LoadButtons(w);
  }
  FlushServiceJobs(w);
  return 0;
}
