// The FT-817 CAT poll (`CatSerial`): asks for frequency and mode with the five-byte command and
// decodes the five-byte reply, one exchange after another.
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/serial.h"
#include "platform/timing.h"
#include "radio/radio.h"

namespace {

constexpr int kEmptyPollLimit = 1500;  // 1 ms polls: 1.5 s without a reply byte
constexpr unsigned char kReadFreqMode[5] = {0x00, 0x00, 0x00, 0x00, 0x03};

bool pollOn(Works* w) { return w->running && getFlag(w->setup->EnableCatSerial) == '1'; }

void catPortError(Works* w, const char* what, const std::string& port) {
  klog(LOG_ERR, "%s %s", what, port.c_str());
  snprintf(w->portErrorText, sizeof w->portErrorText, "CAT: %s %s", what, port.c_str());
  w->portError = 2;
}

// The pause after a lost reply, cut short when the poll is stopped.
void pauseWhileOn(Works* w, int ms) {
  for (int i = 0; i < ms / 10 && pollOn(w); ++i) sleepMs(10);
}

}  // namespace

bool VerifyByteFreq(unsigned char b) { return (b & 0x0F) > 9 || b >= 0xA0; }

int writeSerialCatPort(int fd, const void* data, size_t length, Works* w) {
  w->counterimeoutCAT = 0;
  if (fd < 0) return -1;
  if (serialWriteAll(fd, data, length, 1000) != 0) {
    klog(LOG_ERR, "CAT: write of %zu bytes failed: %s", length, strerror(errno));
    return -1;
  }
  return 0;
}

void DecodeCatSerialCmd(Works* w, const unsigned char* r, int count) {
  if (w->lastCommandSent != 3) return;
  if (count < 5) {
    ktrace("CAT FT817 reply of %d bytes not decoded\n", count);
  } else {
    w->catMode = r[4];
    bool bad = false;
    for (int i = 0; i < 4; ++i) bad |= VerifyByteFreq(r[i]);
    if (bad) {
      klog(LOG_ERR, "CAT FT817 freq not decoded :  %02x %02x %02x %02x %02x", r[0], r[1], r[2], r[3], r[4]);
    } else {
      auto dec = [](unsigned char b) { return static_cast<uint64_t>((b >> 4) * 10 + (b & 0x0F)); };
      w->freqCatSerial = dec(r[0]) * 10000000 + dec(r[1]) * 100000 + dec(r[2]) * 1000 + dec(r[3]) * 10;
    }
  }
  w->lastCommandSent = 0;
}

void CatSerial(Works* w) {
  std::string port, problem;
  if (!portDevice(w, "CatSerialPort", port, problem)) {
    catPortError(w, "Unable to open device", problem);
    return;
  }
  klog(LOG_INFO, "Init CATSerial Port %s", port.c_str());
  const int fd = serialOpen(rootPath(port));
  if (fd < 0) {
    catPortError(w, "Unable to open device", port);
    return;
  }
  if (!serialSetRaw(fd, 38400, 1, 0) || !serialSetTwoStopBits(fd)) {
    serialClose(fd);
    catPortError(w, "Unable to set comm port", port);
    return;
  }
  w->catSerFD = fd;
  klog(LOG_INFO, "OK works->catSerFD=%d (%s)", fd, port.c_str());
  w->lastCommandSent = 0;
  w->catProcessStatus = 3;
  unsigned char reply[5];
  int count = 0;
  bool lost = false;
  while (pollOn(w)) {
    const int state = w->catProcessStatus;
    if (state == 3) {
      writeSerialCatPort(fd, kReadFreqMode, sizeof kReadFreqMode, w);
      w->lastCommandSent = 3;
      w->catProcessStatus = 2;
    } else if (state == 2) {
      const int waiting = serialBytesWaiting(fd);
      if (waiting <= 0) {
        if (waiting < 0 || serialHungUp(fd)) {
          lost = true;
          break;
        }
        struct pollfd p {
          fd, POLLIN, 0
        };
        poll(&p, 1, 1);
        if (++w->counterimeoutCAT >= kEmptyPollLimit) {
          ktrace("<<<<<<<<<<<<<<<<<<<<TIMEOUT SERIAL CAT!!!!\n");
          count = 0;
          w->catProcessStatus = 3;
          pauseWhileOn(w, 1000);
        }
        continue;
      }
      char c;
      const long r = serialReadByte(fd, &c, 0);
      if (r != 1) {
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
          lost = true;
          break;
        }
        ktrace("timeout %ld\n", r);
        sleepMs(20);
        continue;
      }
      reply[count++] = static_cast<unsigned char>(c);
      if (count == 5) w->catProcessStatus = 1;
    } else {
      DecodeCatSerialCmd(w, reply, count);
      sleepMs(20);  // the rig's pause between a reply and the next command
      count = 0;
      w->catProcessStatus = 3;
    }
  }
  // Closed whenever the poll ends: every later switch to this mode opens the port afresh.
  w->catSerFD = -1;
  serialClose(fd);
  if (lost) {
    klog(LOG_ERR, "CATSerial: device %s lost, poll stopped", port.c_str());
    snprintf(w->portErrorText, sizeof w->portErrorText, "CAT: device %s lost", port.c_str());
    w->portError = 2;
  }
  ktrace("CATSerial EXIT\n");
}
