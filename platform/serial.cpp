// Serial terminals through termios: the one place the links touch a port's settings.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

bool speedFor(int baud, speed_t& out) {
  switch (baud) {
    case 1200: out = B1200; return true;
    case 2400: out = B2400; return true;
    case 4800: out = B4800; return true;
    case 9600: out = B9600; return true;
    case 19200: out = B19200; return true;
    case 38400: out = B38400; return true;
    case 57600: out = B57600; return true;
    case 115200: out = B115200; return true;
    case 230400: out = B230400; return true;
    case 460800: out = B460800; return true;
    case 921600: out = B921600; return true;
    default: return false;
  }
}

void sleepOneMs() {
  struct timespec ts {
    0, 1000000
  };
  nanosleep(&ts, nullptr);
}

}  // namespace

int serialOpen(const std::string& path) {
  int fd;
  do {
    // Non-blocking, so a line whose far end stopped reading can never hold a write (and with it
    // the link thread and the shutdown) for ever: serialWriteAll bounds the wait instead.
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool serialSetRaw(int fd, int baud, int vmin, int vtime) {
  speed_t sp;
  if (!speedFor(baud, sp)) {
    errno = EINVAL;
    return false;
  }
  struct termios t {};
  t.c_iflag = IGNPAR;
  t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = static_cast<cc_t>(vmin);
  t.c_cc[VTIME] = static_cast<cc_t>(vtime);
  if (cfsetispeed(&t, sp) != 0 || cfsetospeed(&t, sp) != 0) return false;
  tcflush(fd, TCIFLUSH);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool serialSetTwoStopBits(int fd) {
  struct termios t {};
  if (tcgetattr(fd, &t) != 0) return false;
  t.c_cflag |= CSTOPB;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void serialFlushInput(int fd) { tcflush(fd, TCIFLUSH); }

int serialBytesWaiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return -1;
  return n;
}

bool serialHungUp(int fd) {
  struct pollfd pfd {
    fd, POLLIN, 0
  };
  int r;
  do r = poll(&pfd, 1, 0);
  while (r < 0 && errno == EINTR);
  if (r < 0) return true;
  // Bytes still waiting are read first; the hang-up is seen once they are gone.
  if (pfd.revents & POLLIN) return false;
  return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

long serialReadByte(int fd, char* out, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ssize_t r = ::read(fd, out, 1);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // Nothing there yet: the wait VMIN/VTIME would give a blocking read, but bounded.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    struct pollfd pfd {
      fd, POLLIN, 0
    };
    if (poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return -1;
  }
}

int serialWriteAll(int fd, const void* data, size_t length, int timeoutMs) {
  const char* p = static_cast<const char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (length > 0) {
    ssize_t w = ::write(fd, p, length);
    if (w > 0) {
      p += w;
      length -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // The line is full: wait until it drains, but never for ever.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd pfd {
      fd, POLLOUT, 0
    };
    const int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno != EINTR) return -1;
    // Said writable but refused again: do not spin on it until the deadline.
    if (pr > 0 && !(pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) sleepOneMs();
  }
  return 0;
}

void serialClose(int fd) {
  if (fd >= 0) ::close(fd);
}
