// Start-up and shutdown of the whole program in a simulated root: threads, log lines, signals, Opus.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/start/threads.h"
#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/testlib/emulator.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;
using testlib::LogCapture;
using testlib::slurp;
using testlib::TempRoot;
using testlib::TestWorks;

namespace {

// The real program, run as a process in a fresh simulated root with a simulated amplifier.
class Unit {
 public:
  explicit Unit(std::map<std::string, std::string> setup) {
    sim::RootOptions o;
    o.setup = std::move(setup);
    EXPECT_TRUE(sim::makeSimRoot(root.path(), o));
    micro.start(root.path() + "/dev/ttyAMA0");
  }
  ~Unit() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    micro.stop();
  }
  void start() { pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05"); }
  std::string log() const { return slurp(root.path() + "/var/log/korvane.log"); }
  std::string err() const { return slurp(root.path() + "/var/log/stderr.txt"); }
  // Waits until the standard error holds text.
  bool waitFor(const std::string& text, std::chrono::seconds limit = 30s) const {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // Sends sig and returns the exit status, or -1 when the program did not end within the limit.
  int stop(int sig, std::chrono::seconds limit, double* seconds = nullptr) {
    int rc = testlib::stopUnit(pid, sig, limit, seconds);
    pid = 0;
    return rc;
  }
  TempRoot root;
  sim::MicroSim micro;
  pid_t pid = 0;
};

size_t at(const std::string& hay, const std::string& needle) { return hay.find(needle); }

TEST(StartStop, SigtermStopsInOrderWithTheJoinLines) {
  Unit u({{"EnableTime", "1"}, {"EnableGPIO", "0"}, {"WebSocket", "1"}, {"EnableKeyb", "1"}});
  u.start();
  ASSERT_TRUE(u.waitFor("ModeWorkIdx")) << u.err();
  ASSERT_TRUE(u.waitFor("SOCKET SERVER start")) << u.err();
  std::this_thread::sleep_for(300ms);
  double took = 0;
  EXPECT_EQ(u.stop(SIGTERM, 20s, &took), 0) << u.err();
  EXPECT_LT(took, 10.0);
  std::string err = u.err(), log = u.log();
  EXPECT_LT(at(err, "START Main ---"), at(err, "KORVANE version 0.047"));
  EXPECT_LT(at(err, "Close.."), at(err, "Closed!"));
  EXPECT_NE(at(log, "KORVANE version 0.047"), std::string::npos);
  // Joined in the shutdown order, GPIO not at all since it never started.
  size_t ops = at(log, "Communicator operations end"), key = at(log, "Communicator joined Key end"),
         ws = at(log, "Communicator joined Wsocket end"), lin = at(log, "Communicator joined Linear end"),
         tim = at(log, "Communicator joined Time end");
  ASSERT_NE(ops, std::string::npos) << log;
  ASSERT_NE(key, std::string::npos) << log;
  ASSERT_NE(ws, std::string::npos) << log;
  ASSERT_NE(lin, std::string::npos) << log;
  ASSERT_NE(tim, std::string::npos) << log;
  EXPECT_LT(ops, key);
  EXPECT_LT(key, ws);
  EXPECT_LT(ws, lin);
  EXPECT_LT(lin, tim);
  EXPECT_EQ(at(log, "Communicator joined GPIO end"), std::string::npos);
  EXPECT_EQ(at(log, "Communicator joined FFT end"), std::string::npos);
  // The countdown ran on the start screen.
  EXPECT_NE(at(err, "Time Loading ... 5.."), std::string::npos) << err;
  EXPECT_NE(at(err, "Time Loading ... 0.."), std::string::npos) << err;
}

// The names of the lines "thread <name> started" or "thread <name> joined" of the log, in order.
std::vector<std::string> threadLines(const std::string& log, const std::string& what) {
  std::vector<std::string> out;
  std::istringstream lines(log);
  std::string line;
  const std::string tail = " " + what;
  while (std::getline(lines, line)) {
    size_t p = line.find("> thread ");
    if (p == std::string::npos || line.size() < tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
      continue;
    p += 9;
    out.push_back(line.substr(p, line.size() - tail.size() - p));
  }
  return out;
}

// Every thread, the transceiver links included, starts in the start-up order and is joined in the
// shutdown order. A remote thread whose flag was saved as '1' is not started at boot, and the two
// transceiver links exclude each other, so two boots between them start every thread.
TEST(StartStop, EveryThreadStartsAndIsJoinedInOrder) {
  struct Boot {
    const char* tag;      // interface of the bank in use (1)
    const char* savedOn;  // remote flag saved as '1'
    std::vector<std::string> started, joined;
  } boots[] = {
      // The thread whose flag was saved as on starts first, then those the remote start switches on.
      {"!Bix\n",
       "EnableCAT",
       {"GPIO", "Linear", "LoadThread", "AggFWThread", "keyb", "Wsocket", "Serial", "Cat", "th_scrivi", "th_leggi",
        "BIXRead", "timer"},
       {"LoadThread", "keyb", "BIXRead", "th_leggi", "th_scrivi", "Wsocket", "Cat", "Serial", "Linear", "timer", "GPIO",
        "AggFWThread"}},
      {"!817\n",
       "EnableWrite",
       {"GPIO", "Linear", "LoadThread", "AggFWThread", "keyb", "Wsocket", "th_scrivi", "th_leggi", "Cat", "BIXRead",
        "CatSerial", "timer"},
       {"LoadThread", "keyb", "BIXRead", "th_leggi", "th_scrivi", "Wsocket", "Cat", "CatSerial", "Linear", "timer",
        "GPIO", "AggFWThread"}},
  };
  for (const Boot& b : boots) {
    // The countdown is joined at start-up, before the next screen; the others at shutdown.
    Unit u({{"EnableTime", "1"}, {"EnableGPIO", "1"}, {"WebSocket", "1"}, {"EnableKeyb", "1"}, {b.savedOn, "1"}});
    std::ofstream(u.root.path() + "/opt/set/antenna_b1.txt") << b.tag;
    u.start();
    ASSERT_TRUE(testlib::waitUntil([&] { return at(u.log(), "thread timer started") != std::string::npos; }, 30s))
        << u.log();
    EXPECT_EQ(u.stop(SIGTERM, 30s), 0) << u.err();
    const std::string log = u.log();
    EXPECT_EQ(threadLines(log, "started"), b.started) << b.tag << log;
    EXPECT_EQ(threadLines(log, "joined"), b.joined) << b.tag << log;
  }
}

// A stop asked for at any moment ends the program, even while a remount runs during start-up (a
// shell run through system() ignores Ctrl-C meanwhile). Start-up also clears temporaries of writes
// cut short, inside the remount pair.
TEST(StartStop, StopDuringAStartUpRemountEndsTheProgramAndStaleTemporariesGo) {
  Unit u(std::map<std::string, std::string>{});
  const std::string r = u.root.path();
  unlink((r + "/opt/set/setup.txt").c_str());  // a fresh one is written: a remount at start-up
  std::ofstream(r + "/opt/set/setup.txt.tmpQw3rTy") << "half a file";
  // The first read-write remount says it started, then waits for the test to let it go.
  std::ofstream(r + "/bin/mount") << "#!/bin/sh\necho \"mount $*\" >> " << r << "/var/log/commands.log\n"
                                  << "case \"$*\" in *defaults,rw*) if [ ! -f " << r
                                  << "/var/log/mount-held ]; then touch " << r
                                  << "/var/log/mount-held; i=0; while [ ! -f " << r
                                  << "/var/log/mount-go ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; fi;; "
                                     "esac\nexit 0\n";
  u.start();
  ASSERT_TRUE(testlib::waitUntil([&] { return access((r + "/var/log/mount-held").c_str(), F_OK) == 0; }, 30s));
  kill(u.pid, SIGINT);
  std::ofstream(r + "/var/log/mount-go") << "";
  EXPECT_EQ(u.stop(0, 30s), 0) << u.err();
  EXPECT_NE(at(u.err(), "Closed!"), std::string::npos) << u.err();
  EXPECT_NE(at(u.log(), "removed /opt/set/setup.txt.tmpQw3rTy, left by a write that never ended"), std::string::npos)
      << u.log();
  EXPECT_NE(access((r + "/opt/set/setup.txt.tmpQw3rTy").c_str(), F_OK), 0);
}

// "/dev/ttyAMA0X" cut to its field would be the amplifier's own port "/dev/ttyAMA0": the link
// opens nothing and shows a port error naming the setting.
TEST(StartStop, OverlongLinPortOpensNoDeviceAndNamesTheSetting) {
  Unit u(std::map<std::string, std::string>{{"LinPort", "/dev/ttyAMA0X"}});
  u.start();
  ASSERT_TRUE(testlib::waitUntil(
      [&] {
        return at(u.log(), "thread Linear joined") != std::string::npos ||
               at(u.log(), "Linear: setting LinPort") != std::string::npos;
      },
      30s))
      << u.log();
  ASSERT_TRUE(u.waitFor("ModeWorkIdx"));
  EXPECT_EQ(u.stop(SIGTERM, 30s), 0);
  const std::string log = u.log();
  EXPECT_NE(at(log, "Linear: setting LinPort is longer than 12 characters, no device opened"), std::string::npos)
      << log;
  EXPECT_EQ(at(log, "OK works->linFD"), std::string::npos) << log;
  EXPECT_TRUE(u.micro.received().empty());
  EXPECT_NE(at(slurp(u.root.path() + "/opt/set/setup.txt"), "LinPort: /dev/ttyAMA0X\n"), std::string::npos);
}

// The board-temperature helper hangs: the program still stops on SIGTERM, in order, and takes the
// helper with it (it used to wait in the supervisor's pass for as long as the helper ran).
TEST(StartStop, SigtermEndsTheProgramWhileTheTemperatureHelperHangs) {
  Unit u({{"EnableTime", "1"}, {"EnableGPIO", "0"}});
  const std::string pidFile = u.root.path() + "/helper.pid";
  u.root.standIn("my_temp", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 600\n");
  u.start();
  ASSERT_TRUE(testlib::waitUntil([&] { return testlib::pidFromFile(pidFile) != 0; }, 60s)) << u.err();
  const pid_t helper = testlib::pidFromFile(pidFile);
  EXPECT_EQ(u.stop(SIGTERM, 20s), 0) << u.err();
  EXPECT_NE(u.log().find("Timer operations end"), std::string::npos);
  EXPECT_TRUE(testlib::waitUntil([&] { return testlib::processGone(helper); }, 5s))
      << "the helper outlived the program";
  if (!testlib::processGone(helper)) kill(helper, SIGKILL);
}

TEST(StartStop, ClientModeStartsAndJoinsTheClientThread) {
  Unit u({{"WebSocket", "2"}, {"EnableKeyb", "0"}, {"EnableTime", "0"}});
  u.start();
  ASSERT_TRUE(u.waitFor("SOCKET CLIENT start")) << u.err();
  EXPECT_EQ(u.stop(SIGINT, 20s), 0);
  std::string log = u.log();
  EXPECT_NE(at(log, "Communicator joined Wsocket end"), std::string::npos) << log;
  EXPECT_EQ(at(log, "Communicator joined Key end"), std::string::npos);
  EXPECT_EQ(at(log, "Communicator joined Time end"), std::string::npos);
}

TEST(StartStop, RemoteFlagsSavedOnStartTheRemoteThreadsAtBoot) {
  // With EnableCAT saved as '1' (a power cut during remote operation) remote mode resumes: the CAT relay
  // saved as on starts as well as the threads the remote start switches on, and the file is saved.
  Unit u({{"EnableCAT", "1"}, {"WebSocket", "0"}});
  u.start();
  ASSERT_TRUE(u.waitFor("ModeWorkIdx")) << u.err();
  ASSERT_TRUE(u.waitFor("Th_scrivi start")) << u.err();
  EXPECT_EQ(u.stop(SIGTERM, 20s), 0);
  std::string err = u.err(), log = u.log();
  EXPECT_NE(at(err, "Th_leggi start"), std::string::npos);
  EXPECT_NE(at(err, "Cat.c start"), std::string::npos);  // its flag was already '1'
  EXPECT_NE(at(log, "Communicator joined Spi end"), std::string::npos) << log;
  EXPECT_NE(at(log, "Communicator joined Touch end"), std::string::npos);
  EXPECT_NE(at(log, "Communicator joined FFT end"), std::string::npos) << log;
  std::string setup = slurp(u.root.path() + "/opt/set/setup.txt");
  EXPECT_NE(at(setup, "EnableWrite: 1\n"), std::string::npos);
  EXPECT_NE(at(setup, "EnableFFT: 1\n"), std::string::npos);
}

TEST(StartStop, MissingScreenEndsWithAnError) {
  TempRoot root;
  ASSERT_TRUE(sim::makeSimRoot(root.path()));
  unlink((root.path() + "/dev/fb0").c_str());
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    testlib::execProgram(KORVANE_BINARY, {"--root", root.path()});
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string log = slurp(root.path() + "/var/log/korvane.log");
  EXPECT_NE(at(log, "Unable to read framebuffer device: /dev/fb0"), std::string::npos);
  EXPECT_NE(at(log, "no screen"), std::string::npos);
}

TEST(Opus, NoCompressionCreatesNothing) {
  TestWorks w;
  w->AudioCompress = 0;
  OpusSetUp(w.get());
  EXPECT_EQ(w->opusEnc, nullptr);
  EXPECT_EQ(w->opusDec, nullptr);
  OpusTearDown(w.get());
}

TEST(Opus, CompressionCreatesBothAndTearsThemDown) {
  TestWorks w;
  w->AudioCompress = 24000;
  OpusSetUp(w.get());
  EXPECT_NE(w->opusEnc, nullptr);
  EXPECT_NE(w->opusDec, nullptr);
  EXPECT_EQ(w->AudioCompress, 24000);
  OpusTearDown(w.get());
  EXPECT_EQ(w->opusEnc, nullptr);
}

TEST(Opus, EncoderFailureSwitchesCompressionOff) {
  TestWorks w;
  w->AudioCompress = 24000;
  w->audioRate = 44100;  // not a rate Opus runs at
  LogCapture log;
  OpusSetUp(w.get());
  EXPECT_EQ(w->opusEnc, nullptr);
  EXPECT_EQ(w->opusDec, nullptr);
  EXPECT_EQ(w->AudioCompress, 0);
  EXPECT_TRUE(log.contains("failed to create an encoder: "));
  OpusTearDown(w.get());
}

}  // namespace
