// Start-up and shutdown of the whole program in a simulated root: threads, log lines, signals, Opus.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/start/threads.h"
#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/emulator.h"
#include "tests/testlib/unit_process.h"

using namespace std::chrono_literals;
using testlib::LogCapture;
using testlib::TempRoot;
using testlib::TestWorks;
using testlib::slurp;

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
  // Only flags saved as '0' are switched on by the remote start, so with none set nothing starts;
  // with EnableCAT saved as '1', step 20 still marks remote mode and saves the file.
  Unit u({{"EnableCAT", "1"}, {"WebSocket", "0"}});
  u.start();
  ASSERT_TRUE(u.waitFor("ModeWorkIdx")) << u.err();
  ASSERT_TRUE(u.waitFor("Th_scrivi start")) << u.err();
  EXPECT_EQ(u.stop(SIGTERM, 20s), 0);
  std::string err = u.err(), log = u.log();
  EXPECT_NE(at(err, "Th_leggi start"), std::string::npos);
  EXPECT_EQ(at(err, "Cat.c start"), std::string::npos);  // its flag was already '1'
  EXPECT_NE(at(log, "Communicator joined Spi end"), std::string::npos) << log;
  EXPECT_NE(at(log, "Communicator joined Touch end"), std::string::npos);
  EXPECT_NE(at(log, "Communicator joined FFT end"), std::string::npos);
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
