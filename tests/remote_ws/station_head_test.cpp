// A station and its remote head, each the whole program in its own simulated root on one machine: the head
// follows the station's dial, draws the station's USB spectrum on its plot, carries a CAT program's commands
// to the station's transceiver and back, and a link pulled while the station transmits unkeys it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>

#include "sim/micro/micro_sim.h"
#include "sim/panel/panel_driver.h"
#include "sim/root/mkroot.h"
#include "sim/transceiver/transceiver_sim.h"
#include "tests/remote_ws/ws_rig.h"
#include "tests/testlib/pty.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/unit_process.h"

using namespace std::chrono_literals;
using testlib::waitUntil;

namespace {

int listenOnLoopback(int port, int rcvbuf) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int portOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// The cable between head and station. Cut, it forwards nothing either way and closes nothing, as a pulled
// cable does; its small buffers fill soon, so the station's unanswered data stops being taken as well.
class Relay {
 public:
  explicit Relay(int upstream) : upstream_(upstream), listen_(listenOnLoopback(testlib::freeSetupPort(), kBuffer)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    for (int fd : {listen_, a_, b_})
      if (fd >= 0) close(fd);
  }
  int port() const { return portOf(listen_); }
  void cut() { cut_ = true; }

 private:
  static constexpr int kBuffer = 4096;
  void run() {
    while (!stop_ && a_ < 0) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 50) == 1) a_ = accept(listen_, nullptr, nullptr);
    }
    if (a_ < 0) return;
    b_ = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(b_, SOL_SOCKET, SO_RCVBUF, &kBuffer, sizeof kBuffer);
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s.sin_port = htons(static_cast<uint16_t>(upstream_));
    if (connect(b_, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) return;
    char buf[4096];
    while (!stop_ && !cut_) {
      pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n <= 0 || write(p[1 - i].fd, buf, static_cast<size_t>(n)) != n) return;
      }
    }
    // Cut: the sockets stay open and unread until the test ends, and no new connection is taken.
    while (!stop_) std::this_thread::sleep_for(20ms);
  }
  int upstream_;
  int listen_, a_ = -1, b_ = -1;
  std::atomic<bool> stop_{false}, cut_{false};
  std::thread thread_;
};

// A CAT program on the head's CAT port: it answers the relay's "DT;" probe as the transceiver would and
// keeps what comes back for it.
class CatProgram {
 public:
  explicit CatProgram(const std::string& linkPath) {
    ::unlink(linkPath.c_str());
    EXPECT_EQ(symlink(pty_.name.c_str(), linkPath.c_str()), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~CatProgram() {
    stop_ = true;
    thread_.join();
  }
  void send(const std::string& text) { EXPECT_EQ(write(pty_.master, text.data(), text.size()), ssize_t(text.size())); }
  std::string heard() {
    std::lock_guard<std::mutex> lk(m_);
    return heard_;
  }

 private:
  void run() {
    std::string line;
    while (!stop_) {
      pollfd p{pty_.master, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      char c;
      if (read(pty_.master, &c, 1) != 1) continue;
      line += c;
      if (c != ';') continue;
      if (line == "DT;") {
        send("DT001;");
      } else {
        std::lock_guard<std::mutex> lk(m_);
        heard_ += line;
      }
      line.clear();
    }
  }
  testlib::Pty pty_;
  std::mutex m_;
  std::string heard_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Unit {
  explicit Unit(std::map<std::string, std::string> setup) {
    sim::RootOptions o;
    o.setup = std::move(setup);
    EXPECT_TRUE(sim::makeSimRoot(root.path(), o));
    // Bank 1 follows the paired transceiver.
    root.write("/opt/set/antenna_b1.txt", "!Bix\n40m 7000000 7200000 1 1 0 0 0.0\n20m 14000000 14350000 1 1 0 0 0.0\n");
    EXPECT_TRUE(micro.start(root.path() + "/dev/ttyAMA0"));
  }
  ~Unit() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    radio.stop();
    micro.stop();
  }
  void start() { pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05"); }
  std::string log() const { return testlib::slurp(root.path() + "/var/log/korvane.log"); }
  std::string err() const { return testlib::slurp(root.path() + "/var/log/stderr.txt"); }
  bool microHeard(const std::string& cmd, std::chrono::seconds limit) {
    return waitUntil(
        [&] {
          const auto r = micro.received();
          return std::find(r.begin(), r.end(), cmd) != r.end();
        },
        limit);
  }
  testlib::TempRoot root;
  sim::MicroSim micro;
  sim::TransceiverSim radio;
  pid_t pid = 0;
};

// The column of the plot trace's highest point on the unit's screen, -1 when no trace is drawn.
testlib::RgbImage screenOf(const std::string& root) {
  std::ifstream f(root + "/dev/fb0", std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(f)), {});
  if (raw.size() < 800u * 480 * 4) return {};
  return testlib::imageOfBuffer(reinterpret_cast<const uint8_t*>(raw.data()), 800, 480, 800 * 4);
}

int plotPeakColumn(const std::string& root) {
  const testlib::RgbImage img = screenOf(root);
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const uint8_t* p = &img.px[(static_cast<size_t>(y) * img.width + x) * 3];
      if (p[0] > 200 && p[1] < 60 && p[2] > 100 && p[2] < 200) return x;
    }
  return -1;
}

class StationAndHead : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string port = std::to_string(testlib::freeSetupPort());
    station = std::make_unique<Unit>(std::map<std::string, std::string>{{"WebSocket", "1"},
                                                                        {"TcpPort", port},
                                                                        {"EnableGPIO", "0"},
                                                                        {"EnableKeyb", "0"},
                                                                        {"EnableCAT", "1"},
                                                                        {"EnableFFT", "1"},
                                                                        {"Enable1600", "0"}});
    // The transceiver's own USB device streams a tone above the dial.
    station->root.write("/sim/usb", "device 2b4d 0e31\ntone 0.1 -40\nnoise -120\n");
    // The transceiver's own thread calls this until it is stopped, which is before its unit's micro goes.
    station->radio.setTxListener([micro = &station->micro](bool on) {
      micro->setDrive(on ? 5.0 : 0.0);
      micro->setTx(on);
    });
    ASSERT_TRUE(station->radio.start(station->root.path() + "/dev/ttyUSB1", {station->root.path() + "/dev/TIRMCAT1"},
                                     {sim::CatPortKind::Transceiver}));
    station->start();
    ASSERT_TRUE(waitUntil([&] { return station->log().find("OK works->catFD") != std::string::npos; }, 30s))
        << station->log();
    relay = std::make_unique<Relay>(std::stoi(port));
    head = std::make_unique<Unit>(std::map<std::string, std::string>{{"WebSocket", "2"},
                                                                     {"TcpPort", std::to_string(relay->port())},
                                                                     {"Server", "127.0.0.1"},
                                                                     {"EnableKeyb", "0"},
                                                                     {"EnableCAT", "1"}});
    // The head has no transceiver of its own: its packet link is a line that stays quiet.
    head->radio.fault(sim::RadioFault::Silent);
    ASSERT_TRUE(head->radio.start(head->root.path() + "/dev/ttyUSB1"));
    cat = std::make_unique<CatProgram>(head->root.path() + "/dev/TIRMCAT0");
    head->start();
    ASSERT_TRUE(waitUntil([&] { return head->log().find("Websocket Connected") != std::string::npos; }, 30s))
        << head->log();
  }
  void TearDown() override {
    head.reset();
    cat.reset();
    station.reset();
    relay.reset();
  }
  std::unique_ptr<Unit> station, head;
  std::unique_ptr<Relay> relay;
  std::unique_ptr<CatProgram> cat;
};

TEST_F(StationAndHead, HeadFollowsTheDialShowsTheSpectrumAndCarriesCat) {
  // The dial: the station's parameter blocks move the head's frequency, which its own amplifier is told.
  ASSERT_TRUE(head->microHeard("FA00014070000;", 30s)) << head->err();
  station->radio.dial(7100000);
  EXPECT_TRUE(head->microHeard("FA00007100000;", 20s)) << head->err();

  // The spectrum: on the head's plot page (0 Hz at column 418) the trace peaks right of the middle, then left
  // once the tone moves.
  sim::PanelDriver panel;
  ASSERT_TRUE(panel.open(head->root.path()));
  for (int i = 0; i < 4; ++i) {
    panel.holdFor(6, 100);
    std::this_thread::sleep_for(400ms);
  }
  EXPECT_TRUE(waitUntil([&] { return plotPeakColumn(head->root.path()) > 430; }, 20s))
      << plotPeakColumn(head->root.path());
  station->root.write("/sim/usb", "device 2b4d 0e31\ntone -0.1 -40\nnoise -120\n");
  EXPECT_TRUE(waitUntil(
      [&] {
        const int x = plotPeakColumn(head->root.path());
        return x >= 0 && x < 406;
      },
      20s))
      << plotPeakColumn(head->root.path());

  // CAT: a query on the head's port is answered by the station's transceiver.
  ASSERT_TRUE(waitUntil([&] { return head->log().find("OK works->catFD") != std::string::npos; }, 30s)) << head->log();
  cat->send("FA;");
  EXPECT_TRUE(waitUntil([&] { return cat->heard().find("FA00007100000;") != std::string::npos; }, 10s)) << cat->heard();
  cat->send("FA00003573000;");
  EXPECT_TRUE(waitUntil([&] { return station->radio.state().freqA == 3573000; }, 10s));
}

TEST_F(StationAndHead, PulledLinkWhileTransmittingUnkeysTheTransceiver) {
  station->radio.setTx(true);
  ASSERT_TRUE(waitUntil([&] { return station->micro.snapshot().tx; }, 10s));
  std::this_thread::sleep_for(1s);
  const auto keyed = station->radio.received();
  ASSERT_EQ(std::count(keyed.begin(), keyed.end(), "RX;"), 0) << "nothing unkeys while the link is up";
  relay->cut();
  const auto cutAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitUntil([&] { return !station->radio.state().tx; }, 60s)) << station->log();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - cutAt).count();
  // The socket's time-out is 15 s; a cut in this relay is seen only once its buffers are full.
  EXPECT_LT(took, 25.0);
  RecordProperty("unkeyedSecondsAfterTheCut", std::to_string(took));
  EXPECT_NE(station->log().find("TCP closed"), std::string::npos);
  const auto after = station->radio.received();
  EXPECT_EQ(std::count(after.begin(), after.end(), "RX;"), 1);
}

}  // namespace
