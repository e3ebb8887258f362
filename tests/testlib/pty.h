// A pseudo-terminal pair for tests of serial code: the test holds the far end.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace testlib {

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
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fd);
  }
};

}  // namespace testlib
