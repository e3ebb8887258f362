// The transceiver's CAT port: found by its answer to "DT;", then relayed to the remote peer one
// ';'-ended reply at a time (`Cat`); the peer's CAT text is written back through writeCatPort.
#include <glob.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "radio/radio.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

namespace {

constexpr int kProbeMs = 1000;  // the whole probe of one port, however the bytes trickle in
constexpr int kRelayBuffer = 200;

std::vector<std::string> catCandidates() {
  std::vector<std::string> out;
  glob_t g{};
  if (glob(rootPath("/dev/TIRMCAT*").c_str(), 0, nullptr, &g) == 0)
    for (size_t i = 0; i < g.gl_pathc; ++i) out.emplace_back(g.gl_pathv[i]);
  globfree(&g);
  return out;
}

std::string catPortName(Works* w) {
  std::string port, problem;
  if (!portDevice(w, "CatPort", port, problem)) return problem;
  return port;
}

// "DT;" out, up to five bytes back within the probe time. True for "DT001".
bool probe(int fd) {
  if (serialWriteAll(fd, "DT;", 3, 200) != 0) return false;
  char reply[5];
  int got = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeMs);
  while (got < 5) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    const long r = serialReadByte(fd, &reply[got], static_cast<int>(left));
    if (r < 0) break;
    if (r == 0) {
      if (got == 0) break;  // nothing at all came within the read's wait
      continue;
    }
    ++got;
  }
  if (got != 5 || memcmp(reply, "DT001", 5) != 0) return false;
  // The reply's ';' is the probe's, not a CAT reply for the peer.
  char semicolon;
  serialReadByte(fd, &semicolon, 100);
  return true;
}

}  // namespace

int VerifyCAT(Works* w) {
  ktrace("CAT serial search...\n");
  const std::vector<std::string> ports = catCandidates();
  if (ports.empty()) {
    ktrace("No CAT serial port found\n");
    return -1;
  }
  for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
    if (it != ports.rbegin()) sleepMs(2);
    const char* name = it->c_str();
    const int fd = serialOpen(*it);
    if (fd < 0) {
      klog(LOG_ERR, "Cannot open %s, error %d -%s", name, errno, strerror(errno));
      continue;
    }
    if (!serialSetRaw(fd, 115200, 1, 0)) {
      klog(LOG_ERR, "Cannot set %s, error %d -%s", name, errno, strerror(errno));
      serialClose(fd);
      continue;
    }
    if (probe(fd)) {
      {
        std::lock_guard<std::mutex> lk(w->catPortMut);
        const int old = w->catFD.exchange(fd);
        if (old >= 0) serialClose(old);
      }
      ktrace("CAT serial found:  %s---------------------------------------------\n", name);
      return 0;
    }
    serialClose(fd);
    klog(LOG_ERR, "Cannot connect BIX using %s", name);
  }
  const std::string cat = catPortName(w);
  klog(LOG_ERR, "Unable to open device %s", cat.c_str());
  ktrace("CAT: Unable to open device %s\n", cat.c_str());
  return -1;
}

void ExitCAT(Works* w) {
  {
    std::lock_guard<std::mutex> lk(w->catPortMut);
    const int fd = w->catFD.exchange(-1);
    if (w->status_cat && fd >= 0) serialClose(fd);
  }
  w->remoteThreadsEnded = 1;
  setFlag(w->setup->EnableCAT, '0');
  AddErrore(w, kErrorRemoteCat);
}

int writeCatPort(Works* w, const void* data, size_t length) {
  std::lock_guard<std::mutex> lk(w->catPortMut);
  const int fd = w->catFD;
  if (fd < 0) {
    klog(LOG_ERR, "CAT: port closed, %zu bytes from the peer not written", length);
    return -1;
  }
  if (serialWriteAll(fd, data, length, 1000) != 0) {
    klog(LOG_ERR, "CAT: write of %zu bytes failed: %s", length, strerror(errno));
    return -1;
  }
  return 0;
}

void Cat(Works* w) {
  w->status_cat = 0;
  // The transceiver's CAT port comes up a while after it; remote operation switched off meanwhile
  // ends the wait, with nothing opened and nothing to report.
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(3000 * startupScale()));
  while (std::chrono::steady_clock::now() < until) {
    if (!w->running || getFlag(w->setup->EnableCAT) != '1') return;
    sleepMs(10);
  }
  if (VerifyCAT(w) != 0) {
    const std::string cat = catPortName(w);
    klog(LOG_ERR, "Unable to open device %s", cat.c_str());
    ktrace("CAT: Unable to open device %s\n", cat.c_str());
    ExitCAT(w);
    return;
  }
  const int fd = w->catFD;
  klog(LOG_INFO, "OK works->catFD=%d (%s)", fd, catPortName(w).c_str());
  w->status_cat = 1;
  char buf[kRelayBuffer];
  int fill = 0;
  while (w->running && getFlag(w->setup->EnableCAT) == '1') {
    const int waiting = serialBytesWaiting(fd);
    if (waiting <= 0) {
      if (waiting < 0 || serialHungUp(fd)) {
        klog(LOG_ERR, "CAT: port lost, relay stopped");
        break;
      }
      // Paced by the line: wake for the next byte, or every 10 ms to see the flag.
      struct pollfd p {
        fd, POLLIN, 0
      };
      poll(&p, 1, 10);
      continue;
    }
    char c;
    const long r = serialReadByte(fd, &c, 0);
    if (r < 0 && errno != EAGAIN && errno != EINTR) {
      klog(LOG_ERR, "CAT: read failed: %s", strerror(errno));
      break;
    }
    if (r != 1) continue;
    buf[fill++] = c;
    if (c == ';') {
      if (w->hooks.sendWebSockCatFrame) w->hooks.sendWebSockCatFrame(w, buf, fill);
      fill = 0;
    } else if (fill >= kRelayBuffer) {
      klog(LOG_ERR, "CAT: %d bytes without ';' dropped", fill);
      fill = 0;
    }
  }
  ExitCAT(w);
}
