// korvane-sim: builds a simulated root, runs the unit in it against the simulated devices, takes snapshots.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/optset.h"
#include "sim/ft817/ft817_sim.h"
#include "sim/keyboard/keyboard.h"
#include "sim/micro/micro_sim.h"
#include "sim/panel/panel_driver.h"
#include "sim/root/mkroot.h"
#include "sim/transceiver/transceiver_sim.h"
#include "sim/unit/shot.h"
#ifdef KORVANE_SIM_WINDOW
#include "sim/unit/window.h"
#endif

namespace fs = std::filesystem;

namespace {

std::atomic<pid_t> g_child{0};
std::atomic<int> g_stop{0};

extern "C" void forwardSignal(int sig) {
  g_stop = 1;
  pid_t c = g_child.load();
  if (c > 0) kill(c, sig);
}

std::string selfDir() {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : p.parent_path().string();
}

int usage() {
  fprintf(
      stderr,
      "usage:\n"
      "  korvane-sim mkroot DIR [--set Key=Value]...   build a fresh simulated root\n"
      "  korvane-sim run DIR [--fresh] [--set Key=Value]... [--shot-every SECONDS] [--model 60|120]\n"
      "                                      [--fault F] [--exit-after SECONDS] [--shots PREFIX] [--changes PREFIX]\n"
      "                                      [--window]\n"
      "      run the unit in DIR against the simulated amplifier; Ctrl-C stops it the orderly way.\n"
      "      --window shows the live screen and its six keys (click: short press, hold: long press; keys\n"
      "      1-6 the same; F10, F11, F12 and Print go to the service keyboard); closing it stops the unit.\n"
      "      The screen is written to DIR/screen.png (--shots: also PREFIX-NNNN.png each time, --changes: one\n"
      "      PREFIX-NNN.png per distinct screen); send simulator commands to DIR/sim/control,\n"
      "      e.g. echo 'fault silent' > DIR/sim/control; the transceivers take 'radio dial HZ', 'radio vfo a|b',\n"
      "      'radio mode N', 'radio key', 'radio unkey', 'radio fault silent|garble|cut|unplug|none',\n"
      "      'ft817 freq HZ', 'ft817 mode N', 'ft817 fault silent|nonbcd|short|none',\n"
      "      the service keyboard 'kbd F12', and the front panel 'key N press|release|tap|hold MS',\n"
      "      'pa BYTE' (the PA voltage reading), 'reading CODE VALUE' and 'panel'\n"
      "  korvane-sim shot DIR OUT.png               write the screen of DIR to a PNG\n");
  return 2;
}

sim::RootOptions rootOptions(const std::vector<std::string>& sets) {
  sim::RootOptions o;
  o.shotCommand = selfDir() + "/korvane-sim shot";
  for (const auto& s : sets) {
    auto eq = s.find('=');
    if (eq != std::string::npos) o.setup[s.substr(0, eq)] = s.substr(eq + 1);
  }
  return o;
}

int runUnit(const std::string& dir, int argc, char** argv) {
  bool fresh = false, window = false;
  double shotEvery = 1.0, exitAfter = 0;
  int model = 60;
  std::string fault, shotsPrefix, changesPrefix;
  std::vector<std::string> sets;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--fresh")
      fresh = true;
    else if (a == "--set")
      sets.push_back(next());
    else if (a == "--shot-every")
      shotEvery = atof(next().c_str());
    else if (a == "--exit-after")
      exitAfter = atof(next().c_str());
    else if (a == "--model")
      model = atoi(next().c_str());
    else if (a == "--fault")
      fault = next();
    else if (a == "--shots")
      shotsPrefix = next();
    else if (a == "--changes")
      changesPrefix = next();
    else if (a == "--window")
      window = true;
    else
      return usage();
  }
  std::string root = fs::absolute(dir).string();
  if (fresh || !fs::exists(root + "/opt/set/setup.txt") || !sets.empty()) {
    if (!sim::makeSimRoot(root, rootOptions(sets))) return 1;
  }
  sim::MicroSimOptions mo;
  sim::MicroSim micro(mo);
  micro.setModel(model);
  if (!fault.empty()) micro.command("fault " + fault);
  if (!micro.start(root + "/dev/ttyAMA0")) {
    fprintf(stderr, "korvane-sim: cannot start the simulated amplifier\n");
    return 1;
  }
  // The transceivers: the paired one (packet link and three CAT candidates, one of them its own)
  // and an FT-817, each where the setup file's ports point. Keying the paired one drives the
  // amplifier with 5 W.
  sim::TransceiverSim radio;
  sim::Ft817Sim ft817;
  radio.setTxListener([&micro](bool on) {
    micro.setDrive(on ? 5.0 : 0.0);
    micro.setTx(on);
  });
  const auto portOf = [&](const char* key, const char* dflt) {
    std::string v = dflt;
    for (const auto& s : sets)
      if (s.rfind(std::string(key) + "=", 0) == 0) v = s.substr(strlen(key) + 1);
    return root + v;
  };
  if (!radio.start(portOf("SerPort", "/dev/ttyUSB1"),
                   {root + "/dev/TIRMCAT0", root + "/dev/TIRMCAT1", root + "/dev/TIRMCAT2"},
                   {sim::CatPortKind::Silent, sim::CatPortKind::Transceiver, sim::CatPortKind::Noise}))
    fprintf(stderr, "korvane-sim: the simulated transceiver did not start\n");
  if (!ft817.start(portOf("CatSerialPort", "/dev/ttyUSB2")))
    fprintf(stderr, "korvane-sim: the simulated FT-817 did not start\n");
  micro.addControlHandler([&](const std::string& line) -> std::optional<std::string> {
    if (line.rfind("radio ", 0) == 0) return radio.command(line);
    if (line.rfind("ft817 ", 0) == 0) return ft817.command(line);
    return std::nullopt;
  });
  // The front panel: keys and the peripheral's answers, on the same control channel.
  sim::PanelDriver panel;
  if (panel.open(root)) {
    if (model == 120 && panel.panel().reply(sim::kPaVoltageCode) == static_cast<uint32_t>(sim::kDefaultPaByte))
      panel.panel().setReply(sim::kPaVoltageCode, sim::kDefaultPaByte120W);
    micro.addControlHandler([&panel](const std::string& line) { return panel.command(line); });
  } else {
    fprintf(stderr, "korvane-sim: no front panel in %s/sim/gpio_panel: keys are not available\n", root.c_str());
  }
#ifdef KORVANE_SIM_WINDOW
  sim::PanelWindow win;
  bool windowOpen = false;
  if (window) {
    std::string why;
    windowOpen = win.open(root, panel, &why);
    if (!windowOpen) fprintf(stderr, "korvane-sim: no window (%s): running headless\n", why.c_str());
  }
#else
  const bool windowOpen = false;
  if (window) fprintf(stderr, "korvane-sim: built without SDL2: running headless\n");
#endif
  std::string control = root + "/sim/control";
  unlink(control.c_str());
  // "kbd F12" and the like on the control channel press the simulated service keyboard.
  micro.addControlHandler([root](const std::string& line) { return sim::keyboardCommand(root, line); });
  if (mkfifo(control.c_str(), 0600) == 0) micro.serveControl(control);

  std::string korvane = selfDir() + "/../../core/start/korvane";
  if (!fs::exists(korvane)) korvane = KORVANE_BINARY;
  // An installed program (for example the package's /usr/bin/korvane) instead of the build's.
  if (const char* p = getenv("KORVANE_PROGRAM"); p && *p) korvane = p;
  struct sigaction sa {};
  sa.sa_handler = forwardSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A simulator killed outright takes its unit with it (the orderly way).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The unit reads its screens from its working directory.
    if (chdir(sim::unitWorkDir(root).c_str()) != 0) _exit(127);
    setenv("KORVANE_ROOT", root.c_str(), 1);
    execl(korvane.c_str(), "korvane", "--root", root.c_str(), static_cast<char*>(nullptr));
    perror("korvane-sim: exec korvane");
    _exit(127);
  }
  g_child = pid;
  int status = 0;
  long ticks = 0;  // tenths of a second since the unit started
  const long shotTicks = shotEvery > 0 ? std::max(1L, std::lround(shotEvery * 10)) : 0;
  int shotNo = 0;
  sim::ScreenChanges changes(changesPrefix);
  // Every picture is written from the one read that decided to take it.
  auto recordChange = [&] {
    if (!changesPrefix.empty()) sim::recordScreenChange(root, changes);
  };
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    for (int i = 0; i < 5; ++i) {
#ifdef KORVANE_SIM_WINDOW
      if (windowOpen && !win.pump(20)) {
        // The window was closed: the unit stops the orderly way.
        windowOpen = false;
        if (!g_stop) {
          g_stop = 1;
          kill(pid, SIGINT);
        }
      }
#endif
      if (!windowOpen) usleep(20000);
      recordChange();
    }
    ++ticks;
    sim::ScreenSnapshot shot;
    if (shotTicks > 0 && ticks % shotTicks == 0 && sim::readScreen(root, shot)) {
      sim::writeSnapshotPng(shot, root + "/screen.png");
      if (!shotsPrefix.empty()) {
        char name[64];
        snprintf(name, sizeof name, "-%04d.png", shotNo++);
        sim::writeSnapshotPng(shot, shotsPrefix + name);
      }
    }
    if (exitAfter > 0 && ticks >= std::lround(exitAfter * 10) && !g_stop) {
      g_stop = 1;
      kill(pid, SIGINT);
    }
  }
  recordChange();
  sim::writeScreenPng(root, root + "/screen.png");
  radio.stop();
  ft817.stop();
  micro.stop();
  unlink(control.c_str());
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string cmd = argv[1], dir = argv[2];
  if (cmd == "mkroot") {
    std::vector<std::string> sets;
    for (int i = 3; i + 1 < argc; i += 2)
      if (strcmp(argv[i], "--set") == 0) sets.push_back(argv[i + 1]);
    return sim::makeSimRoot(dir, rootOptions(sets)) ? 0 : 1;
  }
  if (cmd == "shot") {
    if (argc < 4) return usage();
    std::string err;
    if (!sim::writeScreenPng(dir, argv[3], &err)) {
      fprintf(stderr, "korvane-sim shot: %s\n", err.c_str());
      return 1;
    }
    return 0;
  }
  if (cmd == "run") return runUnit(dir, argc - 3, argv + 3);
  return usage();
}
