// Service keyboard: Linux input events from a USB keyboard; Print, F10, F11 and F12 are the service keys.
#include "input/keyb.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "platform/timing.h"

namespace {

// Longest any wait of the thread goes without looking at the stop condition.
constexpr int kWaitSliceMs = 100;
// Unknown events logged in full per opened keyboard; the rest are only counted.
constexpr int kUnknownLogged = 5;
// Read errors in a row after which the keyboard is taken as gone and looked for again.
constexpr int kReadErrorsInRow = 5;

using Clock = std::chrono::steady_clock;

bool keepRunning(Works* w) { return w->running.load() != 0 && getFlag(w->setup->EnableKeyb) == '1'; }

// Waits up to ms; false as soon as the thread must end.
bool pauseMs(Works* w, long ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (keepRunning(w)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return true;
    sleepMs(std::min<long long>(left, kWaitSliceMs));
  }
  return false;
}

std::string findKeyboard() {
  const std::string pattern = rootPath(kKeyboardPattern);
  glob_t g{};
  std::string found;
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
  globfree(&g);
  return found;
}

// The opened keyboard; a FIFO (the simulated one) also holds a write end of our own, so that it
// never reads as ended between two writers.
struct Keyboard {
  int fd = -1, keep = -1;
  void close() {
    if (fd >= 0) ::close(fd);
    if (keep >= 0) ::close(keep);
    fd = keep = -1;
  }
};

Keyboard openKeyboard(const std::string& path) {
  // Non-blocking: the waits are polls that look at the stop condition, never a read that hangs.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    klog(LOG_ERR, "Cannot open %s, error %d -%s", path.c_str(), err, strerror(err));
    ktrace("Cannot open %s, error %d -%s\n", path.c_str(), err, strerror(err));
    return {};
  }
  struct stat st {};
  // A regular file would read the same events again and again.
  if (fstat(fd, &st) != 0 || (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode))) {
    klog(LOG_ERR, "%s is not an input device, not used", path.c_str());
    close(fd);
    return {};
  }
  Keyboard k;
  k.fd = fd;
  if (S_ISFIFO(st.st_mode)) k.keep = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  klog(LOG_INFO, "Keyboard opened");
  ktrace("Keyboard opened\n");
  if (ioctl(fd, EVIOCGRAB, 1) != 0) {
    const int err = errno;
    klog(LOG_ERR, "cannot grab %s, error %d -%s: its keys also reach the console", path.c_str(), err, strerror(err));
  }
  runShell(rootPath("/bin/stty") + " -echo");
  return k;
}

bool knownType(unsigned type) {
  switch (type) {
    case EV_SYN:
    case EV_KEY:
    case EV_REL:
    case EV_ABS:
    case EV_MSC:
    case EV_SW:
    case EV_LED:
    case EV_SND:
    case EV_REP:
    case EV_FF:
    case EV_PWR:
    case EV_FF_STATUS: return true;
    default: return false;
  }
}

void screenshot() {
  ktrace("launching screenshot\n");
  klog(LOG_INFO, "launching screenshot");
  runShell(rootPath("/usr/bin/fbgrab") + " " + rootPath("/tmp/screen.png") + " >/dev/null 2>&1 </dev/null");
  klog(LOG_INFO, "launched screenshot");
  ktrace("launched screenshot\n");
}

// Runs cmd and waits for it while the thread may go on; at a stop the command is asked to end.
int runUntilStopped(Works* w, const std::string& cmd) {
  // A group of its own, so that a stop ends the shell's whole session, not only the "sh -c".
  const pid_t pid = startShell(cmd, true);
  if (pid < 0) {
    klog(LOG_ERR, "cannot start %s, error %d -%s", cmd.c_str(), errno, strerror(errno));
    return -1;
  }
  int status = 0;
  bool asked = false;
  Clock::time_point askedAt;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (!asked && !keepRunning(w)) {
      klog(LOG_INFO, "program stopping: %s asked to end", cmd.c_str());
      kill(-pid, SIGTERM);
      asked = true;
      askedAt = Clock::now();
    } else if (asked && Clock::now() - askedAt > std::chrono::seconds(2)) {
      kill(-pid, SIGKILL);
    }
    sleepMs(asked ? 10 : 50);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

class UnknownEvents {
 public:
  void note(const input_event& ev) {
    if (++count_ <= kUnknownLogged)
      klog(LOG_ERR, "keyboard: event of unknown type %u (code %u, value %d) ignored", ev.type, ev.code, ev.value);
    else if (count_ == kUnknownLogged + 1)
      klog(LOG_ERR, "keyboard: more unknown events, no longer logged one by one");
  }
  void summary() const {
    if (count_ > kUnknownLogged) klog(LOG_ERR, "keyboard: %ld unknown events ignored in all", count_);
  }

 private:
  long count_ = 0;
};

// Why reading stopped: the thread must end, the device failed or ended, or F12.
enum class ReadEnd { kStop, kLost, kExitKey };

// Handles one event; true for the exit key.
bool handleEvent(Works* w, const input_event& ev, UnknownEvents& unknown) {
  if (!knownType(ev.type) || (ev.type == EV_KEY && (ev.value < 0 || ev.value > 2))) {
    unknown.note(ev);
    return false;
  }
  // Presses only: a held key's auto-repeats (value 2) and its release act on nothing.
  if (ev.type != EV_KEY || ev.value != 1) return false;
  switch (ev.code) {
    case KEY_SYSRQ: screenshot(); break;
    case KEY_F12: return true;
    case KEY_F11:
      klog(LOG_INFO, "Save setup");
      writeSetup(w);
      break;
    case KEY_F10: RemoteConnection(w); break;
    default: break;
  }
  return false;
}

ReadEnd readKeyboard(Works* w, int fd, const std::string& path) {
  // The event's size is the system's own: 16 bytes on the 32-bit board, 24 on a 64-bit PC.
  alignas(input_event) unsigned char buf[sizeof(input_event) * 16];
  size_t have = 0;
  int errorsInRow = 0;
  UnknownEvents unknown;
  ReadEnd end = ReadEnd::kStop;
  while (keepRunning(w)) {
    pollfd p{fd, POLLIN, 0};
    const int pr = poll(&p, 1, kWaitSliceMs);
    if (pr <= 0) continue;
    const ssize_t n = read(fd, buf + have, sizeof buf - have);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN) continue;
      klog(LOG_ERR, "error reading %s, error %d -%s", path.c_str(), err, strerror(err));
      // An unplugged keyboard reports ENODEV for ever: look for it again instead.
      if (err == ENODEV || ++errorsInRow >= kReadErrorsInRow) {
        end = ReadEnd::kLost;
        break;
      }
      pauseMs(w, kWaitSliceMs);
      continue;
    }
    if (n == 0) {
      if (have > 0) klog(LOG_ERR, "keyboard: %zu bytes of a cut event dropped", have);
      end = ReadEnd::kLost;
      break;
    }
    errorsInRow = 0;
    have += static_cast<size_t>(n);
    size_t off = 0;
    for (; have - off >= sizeof(input_event); off += sizeof(input_event)) {
      input_event ev;
      memcpy(&ev, buf + off, sizeof ev);
      if (handleEvent(w, ev, unknown)) {
        end = ReadEnd::kExitKey;
        break;
      }
    }
    if (end == ReadEnd::kExitKey) break;
    memmove(buf, buf + off, have - off);
    have -= off;
  }
  unknown.summary();
  return end;
}

}  // namespace

void RemoteConnection(Works* w) {
  ktrace("launching ssh\n");
  klog(LOG_INFO, "launching ssh");
  runUntilStopped(w, rootPath("/opt/sshshell"));
  klog(LOG_INFO, "launched ssh");
}

void keyb(Works* w) {
  ktrace("keyb open..\n");
  ktrace("%s\n", std::string(113, '*').c_str());
  klog(LOG_INFO, "Keyboard function entered");
  const long retryMs = std::max(1L, static_cast<long>(kKeyboardRetryMs * startupScale()));
  bool missingLogged = false;
  while (keepRunning(w)) {
    const std::string path = findKeyboard();
    if (path.empty()) {
      if (!missingLogged) klog(LOG_INFO, "no keyboard at %s, looking again every %ld ms", kKeyboardPattern, retryMs);
      missingLogged = true;
      pauseMs(w, retryMs);
      continue;
    }
    missingLogged = false;
    Keyboard kbd = openKeyboard(path);
    if (kbd.fd < 0) {
      pauseMs(w, retryMs);
      continue;
    }
    klog(LOG_INFO, "Continuous keyboard loop started, please end using Control C");
    ktrace("Continuous keyboard loop started, please end using Control C\n");
    const ReadEnd end = readKeyboard(w, kbd.fd, path);
    if (end == ReadEnd::kExitKey) {
      klog(LOG_INFO, "Exited by KEY_F12");
      w->running = 0;
      kbd.close();
      runShell(rootPath("/bin/stty") + " sane");
      runShell(rootPath("/usr/bin/tput") + " clear");
      return;
    }
    kbd.close();
    if (end != ReadEnd::kStop) {
      klog(LOG_ERR, "keyboard %s lost, looking for it again", path.c_str());
      pauseMs(w, retryMs);
    }
  }
  klog(LOG_INFO, "Keyboard function ended");
  runShell(rootPath("/bin/stty") + " sane");
}
