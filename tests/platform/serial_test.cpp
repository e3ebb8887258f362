// The serial seam on a real pty: bounded writes when the far end stopped reading, reads that still work.
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

#include "platform/root.h"
#include "platform/serial.h"
#include "tests/testlib/pty.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

namespace {
using namespace std::chrono_literals;
using testlib::Pty;
using testlib::waitUntil;
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
