// Test-side serial client: opens the simulated micro's link like the unit does
// (termios raw, 115200 8N1) and exchanges commands and replies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace simtest {

class PtyClient {
 public:
  explicit PtyClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    t.c_iflag = IGNPAR;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    tcflush(fd_, TCIFLUSH);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~PtyClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      const ssize_t n = ::write(fd_, s.data() + off, s.size() - off);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  // Bytes up to and including the next ';' ("" on timeout). `maxLen` bounds the
  // wait for a terminator so a runaway reply cannot hang a test.
  std::string readReply(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000), size_t maxLen = 4096) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < maxLen) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char c;
      if (::read(fd_, &c, 1) != 1) return {};
      out.push_back(c);
      if (c == ';') return out;
    }
    return out;
  }

  std::string ask(const std::string& cmd, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    if (!send(cmd)) return {};
    return readReply(timeout);
  }

  // True when nothing arrives within `quiet`.
  bool silentFor(std::chrono::milliseconds quiet) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace simtest
