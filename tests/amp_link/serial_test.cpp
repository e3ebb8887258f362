// The link's port on a real pty: bounded writes when the far end stopped reading, reads that still work.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "amp/link.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/root.h"
#include "platform/serial.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

namespace {

using namespace std::chrono_literals;
using testlib::waitUntil;

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    char n[128] = {};
    if (openpty(&master, &slave, n, nullptr, nullptr) == 0) name = n;
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  // Reads whatever the slave side wrote, so a writer stuck on a full line can go on.
  void drain() {
    char buf[4096];
    int fl = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, fl | O_NONBLOCK);
    while (read(master, buf, sizeof buf) > 0) {
    }
    fcntl(master, F_SETFL, fl);
  }
  // Keeps the line full from the slave side, as a far end that stopped reading would: the kernel
  // frees a little room now and then while it moves bytes between its buffers, and that room is
  // taken again at once.
  void fillUntil(const std::atomic<bool>& stop) {
    int fd = open(name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char buf[1024];
    memset(buf, 'x', sizeof buf);
    while (!stop) {
      while (write(fd, buf, sizeof buf) > 0) {
      }
      while (write(fd, buf, 1) > 0) {
      }
      std::this_thread::sleep_for(2ms);
    }
    close(fd);
  }
};

}  // namespace

TEST(SerialPort, WriteToALineNobodyReadsReturnsWithinItsBound) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  int fd = serialOpen(pty.name);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(serialSetRaw(fd, 115200, 1, 5));

  std::atomic<bool> done{false}, stop{false};
  std::atomic<int> err{0};
  std::atomic<long> written{0};
  std::thread writer([&] {
    char chunk[512];
    memset(chunk, 'A', sizeof chunk);
    while (!stop) {
      if (serialWriteAll(fd, chunk, sizeof chunk, 200) != 0) {
        err = errno;
        break;
      }
      written += sizeof chunk;
    }
    done = true;
  });
  const bool returned = waitUntil([&] { return done.load(); }, 20s);
  if (!returned) {
    stop = true;
    while (!done) pty.drain();  // let the stuck write go, so the test ends
  }
  writer.join();
  EXPECT_TRUE(returned) << "the write blocked on a full line";
  EXPECT_EQ(err.load(), ETIMEDOUT);
  EXPECT_GT(written.load(), 0);  // the line took what it could before it filled
  serialClose(fd);
}

TEST(SerialPort, ReadsOnTheOpenedPortGetWhatIsWaitingAndDoNotHang) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  int fd = serialOpen(pty.name);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(serialSetRaw(fd, 115200, 1, 5));
  char c = 0;
  // Nothing there: a bounded wait, then 0.
  EXPECT_EQ(serialReadByte(fd, &c, 50), 0);
  ASSERT_EQ(write(pty.master, "ST0;", 4), 4);
  ASSERT_TRUE(waitUntil([&] { return serialBytesWaiting(fd) == 4; }, 5s));
  std::string got;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(serialReadByte(fd, &c), 1);
    got.push_back(c);
  }
  EXPECT_EQ(got, "ST0;");
  EXPECT_EQ(serialBytesWaiting(fd), 0);
  // A byte arriving during the wait is taken.
  std::thread late([&] {
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(write(pty.master, "V", 1), 1);
  });
  EXPECT_EQ(serialReadByte(fd, &c, 10000), 1);
  EXPECT_EQ(c, 'V');
  late.join();
  serialClose(fd);
}

// A micro whose line stopped taking bytes must not hold the link thread: its write times out
// with a log line, and the thread still sees the shutdown.
TEST(SerialPort, StalledLineDoesNotHoldTheLinkOrTheShutdown) {
  testlib::TempRoot root;
  root.activate();
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  mkdir(root.file("/dev").c_str(), 0755);
  ASSERT_EQ(symlink(pty.name.c_str(), root.file("/dev/ttyAMA0").c_str()), 0);

  testlib::TestWorks tw;
  Works* w = tw.get();
  w->running = 1;
  setFlag(w->setup->EnableLinear, '1');
  testlib::LogCapture log;
  std::atomic<bool> ended{false};
  std::thread link([&] {
    Linear(w);
    ended = true;
  });
  // The line fills once the link has set it up (the raw settings change how much it takes).
  EXPECT_TRUE(waitUntil([&] { return log.contains("OK works->linFD"); }, 20s));
  std::atomic<bool> stopFill{false};
  std::thread filler([&] { pty.fillUntil(stopFill); });
  const bool logged = waitUntil([&] { return log.contains("timed out"); }, 20s);
  w->running = 0;
  const bool stopped = waitUntil([&] { return ended.load(); }, 20s);
  stopFill = true;
  filler.join();
  if (!stopped)
    while (!ended) pty.drain();
  link.join();
  setRootPrefix("/");
  EXPECT_TRUE(logged);
  EXPECT_TRUE(stopped) << "the link thread stayed in its write";
  EXPECT_TRUE(log.contains("Linear: write of ST; timed out"));
}
