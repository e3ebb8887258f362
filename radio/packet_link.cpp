// The transceiver packet link (`Serial`): framed spectrum lines and parameter blocks in, the unit's
// few requests ("RX;", "TU120;TX2;") out, and the parameter record the rest of the unit reads.
#include <poll.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Values a level takes the first time the transceiver reports its function off.
constexpr int initSquelch = -1, initNr = -1, initNb = -1, initAtt = -1, initLp = -1, initAn = -1, initVolume = 50,
              initVolumeAux = 50, initVolumeSide = 5;

constexpr int kEmptyPollLimit = 1500;  // 1 ms polls: 1.5 s of silence
constexpr int kErrorHoldOff = 2000;
constexpr int kMaxPayload = 1999;
constexpr float kBinsPerHz = 0.005333f;
constexpr int kSpectrumBins = 1024;
constexpr int kSpectrumTail = 170;  // bytes of a line that are not forwarded
constexpr int kFftFirst = 85, kFftLast = 938;

bool linkOn(Works* w) { return w->running && getFlag(w->setup->EnableSerial) == '1'; }

// Waits up to 1 ms for input instead of sleeping blind, so a byte is taken as soon as it lands.
void pollInput(int fd) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  if (poll(&p, 1, 1) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) sleepMs(1);
}

void serialTimeout(Works* w, const char* msg) {
  int idle = 0;
  if (!w->errorTimer.compare_exchange_strong(idle, kErrorHoldOff)) return;
  AddErrore(w, kErrorBixData);
  ktrace("%s", msg);
}

// The port cannot bring another byte: hung up, or at its end (a readable line with nothing to read).
bool lineGone(int fd, int waiting) {
  if (waiting < 0 || serialHungUp(fd)) return true;
  struct pollfd p {
    fd, POLLIN, 0
  };
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && serialBytesWaiting(fd) == 0;
}

void serPortLost(Works* w, const char* why) {
  std::string port, problem;
  portDevice(w, "SerPort", port, problem);
  klog(LOG_ERR, "Serial: device %s lost (%s), link stopped", port.c_str(), why);
  snprintf(w->portErrorText, sizeof w->portErrorText, "Serial: device %s lost", port.c_str());
  w->portError = 3;
}

int digit(unsigned char b) { return b & 0x0F; }

// A level report: the level while on; while off the last level negated, or the default when
// none was ever known (0 when there is no default).
int32_t level(int32_t old, int reported, int32_t dflt) {
  int32_t v = reported != 0 ? reported : -std::abs(old);
  return v != 0 ? v : dflt;
}

}  // namespace

int writeSerialPort(int fd, const void* data, size_t length, Works* w) {
  std::lock_guard<std::mutex> lk(w->serPortMut);
  // Checked under the lock: the link thread closes the port under it.
  if (fd < 0 || fd != w->serFD) {
    klog(LOG_ERR, "Serial: port closed, %zu bytes not written", length);
    return -1;
  }
  // Bounded: a transceiver that stopped reading must not hold the link thread for ever.
  if (serialWriteAll(fd, data, length, 1000) != 0) {
    klog(LOG_ERR, "Serial: write of %zu bytes failed: %s", length, strerror(errno));
    return -1;
  }
  return 0;
}

int readSerialPort(Works* w, unsigned char* buffer, int n) {
  const int fd = w->serFD;
  int got = 0, empty = 0;
  while (got < n) {
    if (!linkOn(w)) return -1;
    const int waiting = serialBytesWaiting(fd);
    if (waiting > 0) {
      const ssize_t r = ::read(fd, buffer + got, static_cast<size_t>(std::min(waiting, n - got)));
      if (r > 0) {
        got += static_cast<int>(r);
        empty = 0;
        continue;
      }
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    if (lineGone(fd, waiting)) {
      serialTimeout(w, "---------------------------------------TIMEOUT serial 3 (port lost)\n");
      return -1;
    }
    pollInput(fd);
    if (++empty >= kEmptyPollLimit) {
      // The rest of this packet is not coming: the bytes that follow are scanned as headers.
      serialTimeout(w, "---------------------------------------TIMEOUT serial 3\n");
      w->serDropped++;
      return -1;
    }
  }
  return n;
}

int decodeCmdParameters(Works* w, const unsigned char header[5], unsigned char* subtype) {
  (void)w;
  *subtype = header[0];
  int len = 0;
  char shown[5] = {};
  for (int i = 4; i >= 1; --i) {
    const unsigned char b = header[i];
    if (b < 0x30 || b > 0x3F) return -1;
    len = len * 16 + (b - 0x30);
    shown[4 - i] = static_cast<char>(b);
  }
  if (len >= 2000) {
    ktrace("----------> 3SERIAL : ERROR dataLength %d   %s!!!!!!\n", len, shown);
    len = kMaxPayload;
  }
  return len;
}

void storeParameters(Works* w, int length, const unsigned char* b) {
  if (length <= 0) return;
  std::lock_guard<std::mutex> lk(*w->serMut);
  SerParam& p = w->serParam;
  if (!w->serParamStored) {
    p = SerParam{};
    w->serParamStored = true;
  }
  auto has = [&](int n) { return length > n; };
  const unsigned char b0 = b[0];
  p.flag0b6 = (b0 >> 6) & 1;
  p.vfoBActive = (b0 >> 5) & 1;
  p.freqIsVfoB = (b0 >> 4) & 1;
  p.flag0b32 = (b0 >> 2) & 3;
  p.useFreqC = b0 & 1;
  if (has(8)) {
    uint32_t f = 0;
    for (int i = 1; i <= 8; ++i) f = f * 16 + static_cast<uint32_t>(digit(b[i]));
    if (f > 0x7FFFFFFFu) {
      klog(LOG_ERR, "Serial: frequency %08x out of range, ignored", f);
    } else {
      p.freqRaw = static_cast<int32_t>(f);
      if (p.useFreqC) {
        p.freqC = p.freqCur = p.freqRaw;
      } else {
        (p.freqIsVfoB ? p.freqB : p.freqA) = p.freqRaw;
        p.freqCur = p.vfoBActive ? p.freqB : p.freqA;
      }
    }
  }
  p.freqPrev = p.freqLast;
  p.freqLast = p.freqCur;
  if (has(9) && (b[9] & 0x80)) {
    p.txOn = (b[9] >> 6) & 1;
    p.flag9b5 = (b[9] >> 5) & 1;
    p.flag9b4 = (b[9] >> 4) & 1;
    p.modeRaw = digit(b[9]);
    (p.freqIsVfoB ? p.modeB : p.modeA) = p.modeRaw;
    p.modeCur = p.vfoBActive ? p.modeB : p.modeA;
  }
  auto top01 = [](unsigned char x) { return (x >> 6) == 1; };
  auto sign = [](unsigned char x, int bit, bool setIsMinus) {
    const bool set = (x >> bit) & 1;
    return set == setIsMinus ? -1 : 1;
  };
  if (has(10) && top01(b[10])) {
    p.audioSel = (b[10] >> 4) & 3;
    p.sw10b3 = sign(b[10], 3, true);
    p.sw10b2 = sign(b[10], 2, true);
    p.sw10b1 = sign(b[10], 1, true);
    p.sw10b0 = sign(b[10], 0, false);
  }
  if (has(11) && top01(b[11])) {
    p.anRequest = (b[11] >> 5) & 1;
    p.flag11b4 = (b[11] >> 4) & 1;
    p.squelch = level(p.squelch, digit(b[11]), initSquelch);
  }
  if (has(13) && (b[12] & 0x80) && top01(b[13])) {
    const int rawC = (b[12] >> 3) & 0xF, rawB = digit(b[13]);
    p.filterSel = (b[12] >> 2) & 1;
    p.filterA = level(p.filterA, b[12] & 3, 0);
    p.filterC = level(p.filterC, rawC, 0);
    p.flag13b5 = (b[13] >> 5) & 1;
    p.flag13b4 = (b[13] >> 4) & 1;
    p.filterB = level(p.filterB, rawB, 0);
    p.filterIdx = p.filterSel == 1 ? rawB + 5 : rawC + 1;
  }
  if (has(14) && (b[14] >> 4) == 3) p.nr = level(p.nr, digit(b[14]), initNr);
  if (has(15) && (b[15] >> 4) == 3) p.nb = level(p.nb, digit(b[15]), initNb);
  if (has(19) && (b[16] >> 5) == 3 && (b[17] >> 5) == 3 && (b[18] >> 4) == 3 && (b[19] >> 5) == 3) {
    p.set16 = (b[16] & 0x1F) + 1;
    p.set17 = (b[17] & 0x1F) + 1;
    p.set18 = digit(b[18]) + 1;
    p.set19a = ((b[19] >> 2) & 7) + 1;
    p.set19b = (b[19] & 3) + 1;
  }
  if (has(20) && top01(b[20])) {
    p.rxAtt = level(p.rxAtt, (b[20] >> 4) & 1, initAtt);
    p.rxLp = level(p.rxLp, (b[20] >> 3) & 1, initLp);
    p.rxAnt = level(p.rxAnt, (b[20] >> 1) & 3, initAn);
    p.flag20b0 = (b[20] & 1) ? 1 : -1;
  }
  if (has(21)) p.level21 = static_cast<int32_t>(b[21]) - 211;
  if (has(22)) {
    const int v = b[22] & 0x7F;
    if (p.audioSel == 0)
      p.volume = level(p.volume, v, initVolume);
    else if (p.audioSel == 1)
      p.volumeAux = level(p.volumeAux, v, initVolumeAux);
    else
      p.volumeSide = level(p.volumeSide, v, initVolumeSide);
  }
  if (has(25)) p.pitch = digit(b[23]) * 256 + digit(b[24]) * 16 + digit(b[25]);
  if (has(30)) {
    int first = digit(b[26]);
    if (first > 7) first -= 16;
    p.rxOffset = (((first * 16 + digit(b[27])) * 16 + digit(b[28])) * 16 + digit(b[29])) * 16 + digit(b[30]);
  }
  w->serBlocks++;
}

void getParameters(Works* w, SerParam* out) {
  std::lock_guard<std::mutex> lk(*w->serMut);
  *out = w->serParam;
}

int RotateSpectrum(const SerParam& p, const unsigned char* payload, int length, unsigned char out[1024]) {
  if (length < kSpectrumBins) return 0;
  float s = 0;
  if (p.modeCur == 4) s = static_cast<float>(p.pitch) * -kBinsPerHz;
  if (p.modeCur == 6) s = static_cast<float>(p.pitch) * kBinsPerHz;
  s = s + static_cast<float>(p.rxOffset) * kBinsPerHz + 85.0f;
  long start = s < 0 ? static_cast<long>(std::trunc(s + kSpectrumBins)) : static_cast<long>(std::trunc(s));
  // A large receive offset puts the start beyond one line: it wraps like any other bin.
  start = ((start % kSpectrumBins) + kSpectrumBins) % kSpectrumBins;
  for (int j = 0; j < kSpectrumBins; ++j) out[j] = payload[(start + j) % kSpectrumBins];
  return std::clamp(length - kSpectrumTail, 0, kSpectrumBins);
}

void storeFFT(Works* w, int length, const unsigned char* line) {
  float levels[kPlotLevels];
  int n = 0;
  for (int i = kFftFirst; i <= kFftLast && i < length && n < kPlotLevels; ++i)
    levels[n++] = static_cast<float>(line[i]) - 192.0f;
  std::lock_guard<std::mutex> lk(*w->serMut);
  // Only the values the line carried are replaced: the plot keeps its older ones past them.
  std::memcpy(w->fftLevel, levels, static_cast<size_t>(n) * sizeof(float));
}

void ServeSerialRequests(Works* w, int fd) {
  uint8_t m = w->AutoTuneMode;
  if (m & 0x04) {
    writeSerialPort(fd, "RX;", 3, w);
    w->AutoTuneMode &= static_cast<uint8_t>(~0x04);
    w->AutoTuneMode |= 0x08;
    ktrace("SENT BIX RX;! (0x%x)\n", w->AutoTuneMode.load());
  }
  m = w->AutoTuneMode;
  if (m & 0x20) {
    writeSerialPort(fd, "TU120;TX2;", 10, w);
    w->AutoTuneMode &= static_cast<uint8_t>(~0x20);
    w->AutoTuneMode |= 0x40;
    ktrace("SENT BIX TX2;! (0x%x)\n", w->AutoTuneMode.load());
  }
  const uint8_t r = w->txReqFlags;
  if (r & 0x01) {
    if (!(r & 0x02)) {
      writeSerialPort(fd, "RX;", 3, w);
      w->rxHoldoff = 30;
      w->txReqFlags &= static_cast<uint8_t>(~0x01);
    } else if ((r & 0x30) == 0x30 || (r & 0x30) == 0) {
      writeSerialPort(fd, "TU120;TX2;", 10, w);
      w->txReqFlags &= static_cast<uint8_t>(~0x01);
    }
  }
}

int SerialLoop(Works* w, int fd) {
  w->serFD = fd;
  unsigned char payload[kMaxPayload + 1];
  unsigned char rotated[kSpectrumBins];
  // Header bytes of a spectrum or parameter header that did not hold together, scanned again one
  // by one: a stray type byte in noise must not swallow the real header that follows it.
  unsigned char rescan[5];
  int rescanFrom = 0, rescanEnd = 0;
  int empty = 0;
  int lost = 0;
  while (linkOn(w)) {
    unsigned char type;
    if (rescanFrom < rescanEnd) {
      type = rescan[rescanFrom++];
    } else {
      const int waiting = serialBytesWaiting(fd);
      if (waiting <= 0) {
        if (lineGone(fd, waiting)) {
          lost = 1;
          break;
        }
        pollInput(fd);
        if (++empty >= kEmptyPollLimit) {
          serialTimeout(w, "---------------------------------------TIMEOUT serial 1\n");
          empty = 0;
        }
        continue;
      }
      const long r = serialReadByte(fd, reinterpret_cast<char*>(&type), 0);
      if (r != 1) {
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
          lost = 1;
          break;
        }
        klog(LOG_ERR, "error %ld", r);
        serialTimeout(w, "---------------------------------------TIMEOUT serial 2\n");
        continue;
      }
      empty = 0;
    }
    if (type >= 15) continue;
    unsigned char header[5], subtype = 0;
    const int kept = rescanEnd - rescanFrom;
    std::memcpy(header, rescan + rescanFrom, static_cast<size_t>(kept));
    rescanFrom = rescanEnd = 0;
    if (readSerialPort(w, header + kept, 5 - kept) < 0) continue;
    const int len = decodeCmdParameters(w, header, &subtype);
    const bool ours = (type == 0 && subtype == '0') || (type == 1 && subtype == '1');
    if (type <= 1 && (!ours || len < 0)) {
      std::memcpy(rescan, header, 5);
      rescanEnd = 5;
      w->serDropped++;
      continue;
    }
    if (type == 0) {
      if (readSerialPort(w, payload, len) < 0) continue;
      if (getFlag(w->setup->EnableSpectrum) == '0') {
        SerParam p;
        getParameters(w, &p);
        const int n = RotateSpectrum(p, payload, len, rotated);
        if (n > 0 && w->hooks.sendWebSockSerSpectrFrame) w->hooks.sendWebSockSerSpectrFrame(w, rotated, n);
      }
      w->serSpectra++;
    } else if (type == 1) {
      if (readSerialPort(w, payload, len) < 0) continue;
      storeParameters(w, len, payload);
      if (w->hooks.sendWebSockSerParFrame) w->hooks.sendWebSockSerParFrame(w, payload, len);
    } else {
      klog(LOG_ERR, "Error3");
      ktrace("Error3 (type %d)\n", type);
    }
    ServeSerialRequests(w, fd);
  }
  return lost;
}

void Serial(Works* w) {
  std::string port, problem;
  if (!portDevice(w, "SerPort", port, problem)) {
    klog(LOG_ERR, "Serial: %s", problem.c_str());
    snprintf(w->portErrorText, sizeof w->portErrorText, "Serial: %s", problem.c_str());
    w->portError = 3;
    return;
  }
  klog(LOG_INFO, "Init Serial Port %s", port.c_str());
  // An unplugged cable is shown on the error screen with Retry, like a port that cannot be set:
  // the amplifier's control and protection must go on without the transceiver.
  const int fd = serialOpen(rootPath(port));
  if (fd < 0 || !serialSetRaw(fd, 115200, 1, 0)) {
    klog(LOG_ERR, "Unable to open device %s", port.c_str());
    serialClose(fd);
    snprintf(w->portErrorText, sizeof w->portErrorText, "Serial: Unable to open device %s\n", port.c_str());
    w->portError = 3;
    return;
  }
  klog(LOG_INFO, "OK works->serFD=%d (%s)", fd, port.c_str());
  const int lost = SerialLoop(w, fd);
  {
    // No writer of the WebSocket server may use the descriptor once it is closed.
    std::lock_guard<std::mutex> lk(w->serPortMut);
    w->serFD = -1;
    serialClose(fd);
  }
  if (lost) serPortLost(w, "hang-up");
  ktrace("---------------------------------------Serial EXIT %x\n",
         static_cast<unsigned>(getFlag(w->setup->EnableSerial)));
}
