// Tests of the service keyboard thread on the simulated keyboard FIFO, and of F12 in the whole unit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/setup.h"
#include "core/works.h"
#include "input/keyb.h"
#include "platform/timing.h"
#include "sim/keyboard/keyboard.h"
#include "sim/root/mkroot.h"
#include "tests/testlib/emulator.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;
using testlib::LogCapture;
using testlib::TempRoot;
using testlib::TestWorks;
using testlib::waitUntil;

namespace {

// The 20 s search for a keyboard runs at a twentieth of its length (1 s).
const bool kScaled = [] {
  setenv("KORVANE_STARTUP_SCALE", "0.05", 1);
  return true;
}();

const char* kRecord = "echo \"$(basename \"$0\") $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\n";

class Keyboard : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    std::filesystem::create_directories(root.file("/dev/input/by-id"));
    for (const char* cmd : {"stty", "tput", "fbgrab"}) root.standIn(cmd, std::string("#!/bin/sh\n") + kRecord);
    // The programs the keyboard runs by their full paths.
    writeExec("/usr/bin/fbgrab", "#!/bin/sh\nexec \"" + root.path() + "/bin/fbgrab\" \"$@\"\n");
    writeExec("/usr/bin/tput", "#!/bin/sh\nexec \"" + root.path() + "/bin/tput\" \"$@\"\n");
    writeExec("/opt/sshshell", "#!/bin/sh\necho \"sshshell $*\" >> \"" + root.path() + "/var/log/commands.log\"\n");
    w->running = 1;
    setFlag(w->setup->EnableKeyb, '1');
  }
  void TearDown() override { stop(); }
  void writeExec(const std::string& abs, const std::string& text) {
    root.write(abs, text);
    chmod(root.file(abs).c_str(), 0755);
  }
  void start() { thread = std::thread(keyb, w.get()); }
  void stop() {
    if (!thread.joinable()) return;
    w->running = 0;
    thread.join();
  }
  std::string commands() const { return root.read("/var/log/commands.log"); }
  void send(const std::vector<input_event>& evs) { ASSERT_EQ(sim::writeKeyEvents(root.path(), evs), ""); }
  void key(const char* name, int repeats = 0) { send(sim::keyStroke(sim::keyCode(name), repeats)); }

  TempRoot root;
  TestWorks w;
  LogCapture log;
  std::thread thread;
};

size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace

// One session: every service key, keys that do nothing, a held F11, events of unknown kinds.
TEST_F(Keyboard, ServiceKeysActOncePerPressAndUnknownEventsAreOnlyLogged) {
  ASSERT_TRUE(sim::makeKeyboard(root.path()));
  start();
  ASSERT_TRUE(waitUntil([&] { return log.contains("Continuous keyboard loop started"); }, 5s));
  key("F11", 30);  // held: auto-repeats (value 2) save nothing more
  key("A");
  key("F9");
  send({sim::inputEvent(EV_KEY, KEY_F11, 7)});   // a key event of no known value
  send({sim::inputEvent(0x1f, 3, 1)});           // a type no keyboard sends
  send({sim::inputEvent(EV_LED, LED_NUML, 1)});  // known, and of no interest
  key("PRINT");
  key("F10");
  key("F11");  // the second save: everything before it has been handled
  // Done once the second setup write has remounted /opt/set read-only again.
  ASSERT_TRUE(waitUntil([&] { return countOf(commands(), "remount -r") >= 2; }, 5s)) << commands();
  EXPECT_EQ(log.count("Save setup"), 2u);
  EXPECT_EQ(log.count("of unknown type"), 2u);
  EXPECT_TRUE(log.contains("unknown type 31 (code 3, value 1)"));
  EXPECT_TRUE(log.contains("unknown type 1 (code 87, value 7)"));
  EXPECT_EQ(log.count("Keyboard opened"), 1u) << "the keyboard was opened again between writers";
  EXPECT_TRUE(log.contains("cannot grab")) << "a FIFO cannot be grabbed; the failure is logged and reading goes on";
  const std::string cmds = commands();
  EXPECT_EQ(countOf(cmds, "fbgrab " + root.path() + "/tmp/screen.png\n"), 1u) << cmds;
  EXPECT_EQ(countOf(cmds, "sshshell"), 1u) << cmds;
  EXPECT_EQ(countOf(cmds, "remount defaults,rw"), 2u) << "one setup write per F11 press:\n" << cmds;
  EXPECT_EQ(cmds.find("stty -echo"), 0u) << cmds;
  EXPECT_EQ(w->running.load(), 1);
  EXPECT_TRUE(log.contains("launched screenshot"));
  EXPECT_TRUE(log.contains("launched ssh"));
}

TEST_F(Keyboard, F12EndsTheProgramAndRestoresTheTerminal) {
  ASSERT_TRUE(sim::makeKeyboard(root.path()));
  start();
  ASSERT_TRUE(waitUntil([&] { return log.contains("Continuous keyboard loop started"); }, 5s));
  key("F12");
  ASSERT_TRUE(waitUntil([&] { return w->running.load() == 0; }, 5s));
  thread.join();
  EXPECT_TRUE(log.contains("Exited by KEY_F12"));
  EXPECT_EQ(commands(), "stty -echo\nstty sane\ntput clear\n");
}

// Plugged in after start-up: found on the next look (20 s on the unit, 1 s here).
TEST_F(Keyboard, KeyboardPluggedInLaterIsFoundWithinTheRetryPeriod) {
  start();
  ASSERT_TRUE(waitUntil([&] { return log.contains("no keyboard at /dev/input/by-id/*-event-kbd"); }, 5s));
  const auto plugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim::makeKeyboard(root.path()));
  ASSERT_TRUE(waitUntil([&] { return log.contains("Keyboard opened"); }, 5s));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count();
  EXPECT_LT(took, kKeyboardRetryMs * startupScale() / 1000.0 + 0.5);
  EXPECT_EQ(log.count("no keyboard at"), 1u) << "the search is logged once, not at every look";
  ASSERT_TRUE(waitUntil([&] { return log.contains("Continuous keyboard loop started"); }, 5s));
  key("F11");
  EXPECT_TRUE(waitUntil([&] { return log.contains("Save setup"); }, 5s));
}

// Every wait ends promptly: the search pause, the read, a service shell still running, the switch.
TEST_F(Keyboard, EveryWaitEndsPromptlyWhenTheProgramStops) {
  struct Case {
    const char* name;
    bool keyboard;
    const char* key;    // pressed before the stop
    bool byEnableFlag;  // stopped by EnableKeyb = '0' rather than running = 0
  } cases[] = {{"searching", false, nullptr, false},
               {"reading", true, nullptr, false},
               {"service shell running", true, "F10", false},
               {"switched off", true, nullptr, true}};
  writeExec("/opt/sshshell", "#!/bin/sh\necho $$ > \"" + root.path() + "/var/log/ssh.pid\"\nexec sleep 60\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(sim::keyboardPath(root.path()).c_str());
    unlink(root.file("/var/log/commands.log").c_str());
    if (c.keyboard) {
      ASSERT_TRUE(sim::makeKeyboard(root.path()));
    }
    w->running = 1;
    setFlag(w->setup->EnableKeyb, '1');
    const size_t started = log.count(c.keyboard ? "Continuous keyboard loop started" : "Keyboard function entered");
    start();
    ASSERT_TRUE(waitUntil(
        [&] {
          return log.count(c.keyboard ? "Continuous keyboard loop started" : "Keyboard function entered") > started;
        },
        5s));
    if (c.key) {
      key(c.key);
      ASSERT_TRUE(waitUntil([&] { return testlib::pidFromFile(root.file("/var/log/ssh.pid")) != 0; }, 5s));
    }
    const size_t ended = log.count("Keyboard function ended");
    const auto t0 = std::chrono::steady_clock::now();
    if (c.byEnableFlag)
      setFlag(w->setup->EnableKeyb, '0');
    else
      w->running = 0;
    ASSERT_TRUE(waitUntil([&] { return log.count("Keyboard function ended") > ended; }, 5s));
    // The loop's end, not the shell command after it, which a loaded machine may take long to start.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    thread.join();
    EXPECT_NE(commands().find("stty sane"), std::string::npos);
    if (c.key) {
      const pid_t ssh = testlib::pidFromFile(root.file("/var/log/ssh.pid"));
      EXPECT_TRUE(waitUntil([&] { return testlib::processGone(ssh); }, 2s)) << "the service shell was left running";
      unlink(root.file("/var/log/ssh.pid").c_str());
    }
  }
}

// The whole unit in the simulator: "kbd F12" on the control channel ends it the orderly way.
TEST(KeyboardUnit, ControlChannelF12EndsTheSimulatedUnit) {
  // korvane-sim starts the program itself: under an emulator that needs the kernel to run the
  // board's programs (binfmt), which a cross-build machine need not have.
  if (!testlib::emulatorPrefix().empty()) GTEST_SKIP() << "the simulated unit's own program start needs the board";
  TempRoot root;
  const std::string dir = root.path() + "/unit";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    execl(KORVANE_SIM_BINARY, "korvane-sim", "run", dir.c_str(), "--fresh", "--set", "EnableGPIO=0", "--shot-every",
          "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string log = dir + "/var/log/korvane.log";
  auto unitLog = [&] { return testlib::slurp(log); };
  const bool reading = waitUntil([&] { return unitLog().find("Continuous keyboard loop") != std::string::npos; }, 60s);
  if (reading) {
    std::ofstream(dir + "/sim/control") << "kbd F12\n";
  }
  int status = -1;
  const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30s);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(reading) << unitLog();
  ASSERT_TRUE(ended) << unitLog();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string l = unitLog(), cmds = testlib::slurp(dir + "/var/log/commands.log");
  EXPECT_NE(l.find("Exited by KEY_F12"), std::string::npos) << l;
  EXPECT_NE(l.find("Communicator joined Key end"), std::string::npos) << l;
  const size_t sane = cmds.find("stty sane\n"), clear = cmds.find("tput clear\n");
  ASSERT_NE(sane, std::string::npos) << cmds;
  ASSERT_NE(clear, std::string::npos) << cmds;
  EXPECT_LT(cmds.find("stty -echo\n"), sane);
  EXPECT_LT(sane, clear);
}
