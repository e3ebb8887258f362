// The USB spectrum reader: the transceiver's I/Q stream, four bulk transfers in flight, and every
// fftDivide-th transfer turned into one spectrum line for the remote peer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/usb.h"
#include "radio/radio.h"
#include "radio/usb_spectrum.h"
#include "ui/errors.h"

namespace {

constexpr uint16_t kVendor = 0x2B4D;
constexpr uint16_t kProductBix = 0x0E31, kProductK2 = 0x0E34, kProductK1 = 0x0E2A;
constexpr uint8_t kEndpoint = 0x86;
constexpr int kTransfers = 4, kTransferBytes = 32768, kTransferTimeoutMs = 2000;
constexpr int kValuesPerTransfer = kTransferBytes / 4;  // 4096 complex samples, I and Q interleaved
constexpr int kMaxFailures = 11;

// Window and twiddles for one FFT size, built once per size; the work arrays beside them.
struct FftTables {
  int size = 0;
  std::vector<double> window, co, si, re, im;
  std::vector<uint8_t> centred;

  void build(int n) {
    size = n;
    window.assign(static_cast<size_t>(n), 0.0);
    const double step = 2 * std::numbers::pi / (n - 1);
    for (int k = 1; k < n; ++k)
      window[k] =
          0.35875 - 0.48829 * std::cos(step * k) + 0.14128 * std::cos(2 * step * k) - 0.01168 * std::cos(3 * step * k);
    // Each twiddle is the previous one turned by -2 pi / n: one sine and cosine for the table.
    co.assign(static_cast<size_t>(n / 2), 0.0);
    si.assign(static_cast<size_t>(n / 2), 0.0);
    const double c = std::cos(2 * std::numbers::pi / n), s = -std::sin(2 * std::numbers::pi / n);
    co[0] = 1;
    si[0] = 0;
    for (int k = 1; k < n / 2; ++k) {
      co[k] = co[k - 1] * c - si[k - 1] * s;
      si[k] = co[k - 1] * s + si[k - 1] * c;
    }
    re.assign(static_cast<size_t>(n), 0.0);
    im.assign(static_cast<size_t>(n), 0.0);
    centred.assign(static_cast<size_t>(n), 0);
  }
};

// The reader thread is the only caller in the program; tests call from theirs, one at a time.
std::mutex g_fftMut;
FftTables g_fft;

int bitReverse(int v, int bits) {
  int r = 0;
  for (int b = 0; b < bits; ++b, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

// Radix-2 decimation in frequency, in place, then the bit-reversal reordering.
void transform(FftTables& t) {
  const int n = t.size;
  int groups = 1;
  for (int span = n / 2; span >= 1; span /= 2, groups *= 2) {
    for (int g = 0; g < groups; ++g) {
      const int base = g * 2 * span;
      for (int j = 0, tw = 0; j < span; ++j, tw += groups) {
        const int a = base + j, b = a + span;
        const double dr = t.re[a] - t.re[b], di = t.im[a] - t.im[b];
        t.re[a] += t.re[b];
        t.im[a] += t.im[b];
        t.re[b] = dr * t.co[tw] - di * t.si[tw];
        t.im[b] = dr * t.si[tw] + di * t.co[tw];
      }
    }
  }
  int bits = 0;
  while ((1 << bits) < n) ++bits;
  for (int i = 0; i < n; ++i) {
    const int j = bitReverse(i, bits);
    if (j > i) {
      std::swap(t.re[i], t.re[j]);
      std::swap(t.im[i], t.im[j]);
    }
  }
}

char flagOf(const Works* w, const char Mirtsetup::*field) { return w->setup ? getFlag(w->setup->*field) : '0'; }

// One reader run: the device, its offsets and the transfers' state.
struct BixSession {
  Works* w;
  UsbPort* usb;
  float globalOffset = 0, lpOffset = 0, attOffset = 0;
  int errCounter = 0;
  int divide = 1;
  bool failedResubmit = false;
  std::vector<float> values = std::vector<float>(kValuesPerTransfer);

  void completed(int slot, UsbTransferStatus st, const uint8_t* data, int length) {
    if (st == UsbTransferStatus::Completed) {
      errCounter = 0;
      if (flagOf(w, &Mirtsetup::EnableSpectrum) != '0') convert(data, length);
    } else {
      static const char* const kNames[] = {"", "Error", "Timedout", "Cancelled", "Stalled", "Nodevice", "Overflowed"};
      klog(LOG_ERR, "CB result: %s %d\n", kNames[static_cast<int>(st)], slot);
      ++errCounter;
    }
    if (errCounter < kMaxFailures) {
      const int rc = usb->submitBulk(slot, kEndpoint, kTransferBytes, kTransferTimeoutMs);
      if (rc != 0) {
        klog(LOG_ERR, "libusb_submit_transfer failed (%d)  %s:%d\n", rc, __FILE__, __LINE__);
        failedResubmit = true;
      }
    } else {
      klog(LOG_ERR, "libusb_err_counter (%d), %s:%d\n", errCounter, __FILE__, __LINE__);
    }
  }

  void convert(const uint8_t* data, int length) {
    SerParam p;
    getParameters(w, &p);
    const float l = p.rxLp >= 1 ? lpOffset : 0.0f;
    const double recalc = std::pow(10.0, (21.4 - globalOffset + l) / 20.0);
    const int count = std::min(length / 4, kValuesPerTransfer);
    for (int i = 0; i < count; ++i) {
      int32_t v;
      memcpy(&v, data + static_cast<size_t>(i) * 4, 4);
      values[i] = static_cast<float>(v * recalc / 2147483648.0);
    }
    if (--divide > 0) return;
    // A divider below 1 (the setup file's default is 0) would never bring the count back to 0.
    divide = std::max(1, w->fftDivide.load());
    if (w->wsockConnected && count == kValuesPerTransfer) fftCalc(values.data(), count, w);
  }
};

bool readOffset(BixSession& s, uint16_t value, float& out, const char* name) {
  uint8_t b[4];
  const int n = s.usb->controlIn(0xA2, value, 0x0151, b, 4);
  if (n < 4) {
    klog(LOG_ERR, "%s failed (%d)\n", name, n);
    return false;
  }
  memcpy(&out, b, 4);
  // A calibration that is no number would turn every level into NaN; the device's own value stays out.
  if (!std::isfinite(out) || std::fabs(out) > 200) {
    klog(LOG_ERR, "%s %f out of range: 0 used\n", name, out);
    out = 0;
  }
  klog(LOG_INFO, "%s: %f\n", name, out);
  return true;
}

// Finds, opens and starts the device; false when the run has to end.
bool startDevice(BixSession& s) {
  std::vector<UsbDeviceId> ids;
  if (!s.usb->list(ids)) {
    klog(LOG_ERR, "Get Device Error\n");
    return false;
  }
  bool found = false;
  for (size_t i = 0; i < ids.size() && !found; ++i) {
    klog(LOG_INFO, "%d vid %04x pid %04x %d\n", static_cast<int>(i), ids[i].vendor, ids[i].product, 0);
    if (ids[i].vendor != kVendor) continue;
    if (!s.usb->open(static_cast<int>(i), [](const char* text) { klog(LOG_INFO, "%s", text); })) return false;
    uint8_t b[32] = {};
    if (s.usb->controlIn(0xFF, 0, 0, b, 2) > 0) {
      klog(LOG_INFO, "USB Driver Version: %d.%d\n", b[0], b[1]);
    } else {
      klog(LOG_ERR, "USB Driver Version read failed\n");
    }
    if (s.usb->controlIn(0xA2, 0x404C, 0x0151, b, 2) == 2) {
      klog(LOG_INFO, "HW Version: %d.%d\n", b[0], b[1]);
    } else {
      klog(LOG_ERR, "HW Version read failed\n");
    }
    const int n = s.usb->controlIn(0xA2, 0x4000, 0x0151, b, 32);
    if (n < 32) {
      klog(LOG_ERR, "Serial read failed (%d)\n", n);
      return false;
    }
    char serial[33];
    memcpy(serial, b, 32);
    serial[32] = '\0';
    klog(LOG_INFO, "Serial: %-s\n", serial);
    if (ids[i].product == kProductK2 || ids[i].product == kProductK1) {
      klog(LOG_ERR, ids[i].product == kProductK2 ? "HVZ K2 " : "HVZ K1 ");
      return false;
    }
    if (ids[i].product == kProductBix) klog(LOG_INFO, "HVZ BIX ");
    klog(LOG_INFO, "Device caught\n");
    found = true;
  }
  if (!found) {
    klog(LOG_ERR, "Cannot find HVZ Device\n");
    return false;
  }
  if (!readOffset(s, 0x4028, s.globalOffset, "Global Offset") || !readOffset(s, 0x402C, s.lpOffset, "LP Offset") ||
      !readOffset(s, 0x4030, s.attOffset, "ATT Offset"))
    return false;
  uint8_t b[1] = {};
  int n = s.usb->controlIn(0xE1, 0, 0xE900, b, 1);
  klog(n == 1 ? LOG_INFO : LOG_ERR, n == 1 ? "Stop FIFO\n" : "Stop FIFO failed (%d)\n", n);
  n = s.usb->controlIn(0xE1, 0, 0xE800, b, 1);
  klog(n == 1 ? LOG_INFO : LOG_ERR, n == 1 ? "Init FIFO\n" : "Init FIFO failed (%d)\n", n);
  b[0] = 0;
  n = s.usb->controlIn(0xE1, 1, 0xE900, b, 1);
  if (n != 1 || b[0] != 0xE9) klog(LOG_ERR, "Enable SYN failed (%d %02X)\n", n, b[0]);
  klog(LOG_INFO, "SYN Enabled\n");
  for (int slot = 0; slot < kTransfers; ++slot) {
    const int rc = s.usb->submitBulk(slot, kEndpoint, kTransferBytes, kTransferTimeoutMs);
    if (rc != 0) {
      klog(LOG_ERR, "libusb_submit_transfer failed (%d)\n", rc);
      return false;
    }
  }
  klog(LOG_INFO, "libusb_submit_transfer succedeed\n");
  klog(LOG_INFO, "SYN transfer starting\n");
  return true;
}

}  // namespace

int SpectrumLine(const float* samples, int count, bool wide, uint8_t* out) {
  const int n = wide ? 4096 : 2048;
  if (!samples || count < 2 * n) return 0;
  std::lock_guard<std::mutex> lk(g_fftMut);
  FftTables& t = g_fft;
  if (t.size != n) t.build(n);
  for (int j = 0; j < n; ++j) {
    t.re[j] = static_cast<double>(samples[2 * j]) * t.window[j];
    t.im[j] = static_cast<double>(samples[2 * j + 1]) * t.window[j];
  }
  transform(t);
  const double half = n / 2.0;
  for (int k = 0; k < n; ++k) {
    const double re = t.re[k] / half, im = t.im[k] / half;
    const double level = 20 * std::log10(std::sqrt(re * re + im * im));
    // log10(0) is -inf and a NaN sample gives NaN: both are the floor.
    const int db = !(level > -192) ? -192 : level > 50 ? 50 : static_cast<int>(level);
    t.centred[(k + n / 2) % n] = static_cast<uint8_t>(db + 192);
  }
  const int first = wide ? 341 : 170, length = wide ? 1706 : 854;
  for (int i = 0; i < length; ++i) out[i] = t.centred[first + 2 * i];
  return length;
}

void fftCalc(const float* samples, int count, Works* w) {
  uint8_t line[kSpectrumLineMax];
  const int length = SpectrumLine(samples, count, flagOf(w, &Mirtsetup::Enable1600) != '0', line);
  if (length > 0 && w->wsockConnected && w->hooks.sendWebSockSerSpectrFrame)
    w->hooks.sendWebSockSerSpectrFrame(w, line, length);
}

void ExitBixread(Works* w) {
  AddErrore(w, kErrorRemoteUsb);
  if (w->setup) setFlag(w->setup->EnableFFT, '0');
  w->remoteThreadsEnded = 1;
}

void BIXRead(Works* w) { BIXReadOn(w, *openUsbPort()); }

int UsbTransceiverPresentOn(UsbPort& usb) {
  std::vector<UsbDeviceId> ids;
  if (usb.init() < 0 || !usb.list(ids)) return 0;
  for (const UsbDeviceId& id : ids)
    if (id.vendor == kVendor && id.product == kProductBix) return 1;
  return 0;
}

int UsbTransceiverPresent(Works*) { return UsbTransceiverPresentOn(*openUsbPort()); }

void BIXReadOn(Works* w, UsbPort& usb) {
  klog(LOG_INFO, "Operations init tirm-comms version 1.0\n");
  fprintf(stderr, "Operations init tirm-comms version 1.0\n");
  const int rc = usb.init();
  if (rc < 0) {
    klog(LOG_ERR, "Init Error %d\n", rc);
    ExitBixread(w);
    return;
  }
  BixSession s{w, &usb};
  usb.setCompletion(
      [&s](int slot, UsbTransferStatus st, const uint8_t* data, int length) { s.completed(slot, st, data, length); });
  if (startDevice(s)) {
    int last = 0;
    // The wait is bounded so that the end of remote operation or of the program is seen promptly.
    while (w->running && flagOf(w, &Mirtsetup::EnableFFT) == '1' && s.errCounter < kMaxFailures && !s.failedResubmit) {
      last = usb.handleEvents(200);
      if (last != 0) printf("%d\n", last);
    }
    klog(LOG_INFO, "libusb_handle events completed (%d)\n", last);
  }
  klog(LOG_INFO, "%s Operations end\n", __FILE__);
  usb.close();
  // The program's own stop is no failure of the device: the flag stays as saved, so that remote
  // operation resumes at the next start.
  if (w->running) ExitBixread(w);
}
