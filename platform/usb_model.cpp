// A model of the transceiver's USB I/Q device for simulated roots and tests: vendor control requests,
// and a bulk stream of synthetic tones and noise that the reader's spectrum shows at the levels asked for.
#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

#include "platform/config_file.h"
#include "platform/usb.h"

namespace {

constexpr int kSamplesPerTransfer = 4096;
constexpr int kUsbErrorNoDevice = -4, kUsbErrorPipe = -9, kUsbErrorInvalid = -2;

struct Tone {
  double fraction, level;
};

struct Description {
  bool present = false;
  uint16_t vendor = 0, product = 0;
  std::string serial = "SIM0000000000001";
  float offsets[3] = {0, 0, 0};  // global, LP, ATT
  uint8_t driver[2] = {2, 1}, hw[2] = {1, 4};
  std::vector<Tone> tones;
  double noise = -200;
  int fail = 0;
  bool stall = false, gone = false;
  double rate = 192000;
  long long limit = -1;  // transfers the device completes before it vanishes (-1: no end)
};

Description parse(const std::string& text) {
  Description d;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string key;
    l >> key;
    if (key == "device") {
      unsigned v = 0, p = 0;
      l >> std::hex >> v >> p;
      d.present = !l.fail();
      d.vendor = static_cast<uint16_t>(v);
      d.product = static_cast<uint16_t>(p);
    } else if (key == "serial") {
      l >> d.serial;
    } else if (key == "offsets") {
      l >> d.offsets[0] >> d.offsets[1] >> d.offsets[2];
    } else if (key == "driver" || key == "hw") {
      unsigned a = 0, b = 0;
      l >> a >> b;
      uint8_t* v = key == "driver" ? d.driver : d.hw;
      v[0] = static_cast<uint8_t>(a);
      v[1] = static_cast<uint8_t>(b);
    } else if (key == "tone") {
      Tone t{};
      if (l >> t.fraction >> t.level) d.tones.push_back(t);
    } else if (key == "noise") {
      l >> d.noise;
    } else if (key == "fail") {
      l >> d.fail;
    } else if (key == "stall") {
      d.stall = true;
    } else if (key == "gone") {
      d.gone = true;
    } else if (key == "limit") {
      l >> d.limit;
    } else if (key == "rate") {
      l >> d.rate;
      if (!(d.rate >= 1000 && d.rate <= 10e6)) d.rate = 192000;
    }
  }
  return d;
}

class UsbDeviceModel : public UsbPort {
 public:
  explicit UsbDeviceModel(std::string path) : path_(std::move(path)) { reload(); }
  int init() override { return 0; }
  bool list(std::vector<UsbDeviceId>& out) override {
    reload();
    out.clear();
    if (d_.present && !d_.gone) out.push_back({d_.vendor, d_.product});
    return true;
  }
  bool open(int index, const std::function<void(const char*)>& note) override {
    if (index != 0 || !d_.present || d_.gone) {
      note("Cannot open HVZ Device\n");
      return false;
    }
    note("HVZ Device Opened\n");
    note("Interface claimed\n");
    open_ = true;
    return true;
  }
  int controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) override {
    reload();
    if (!open_ || d_.gone) return kUsbErrorNoDevice;
    auto give = [&](const void* src, size_t n) {
      n = std::min<size_t>(n, length);
      memcpy(data, src, n);
      return static_cast<int>(n);
    };
    if (request == 0xFF) return give(d_.driver, 2);
    if (request == 0xA2 && index == 0x0151) {
      switch (value) {
        case 0x404C: return give(d_.hw, 2);
        case 0x4000: {
          char serial[32] = {};
          snprintf(serial, sizeof serial, "%s", d_.serial.c_str());
          return give(serial, 32);
        }
        case 0x4028: return give(&d_.offsets[0], 4);
        case 0x402C: return give(&d_.offsets[1], 4);
        case 0x4030: return give(&d_.offsets[2], 4);
        default: return kUsbErrorPipe;
      }
    }
    if (request == 0xE1 && value == 1 && index == 0xE900) {
      streaming_ = true;
      const uint8_t syn = 0xE9;
      return give(&syn, 1);
    }
    if (request == 0xE1 && (index == 0xE900 || index == 0xE800)) {
      if (index == 0xE900) streaming_ = false;
      const uint8_t ok = 0;
      return give(&ok, 1);
    }
    return kUsbErrorPipe;
  }
  int submitBulk(int slot, uint8_t endpoint, int length, unsigned) override {
    if (!open_ || d_.gone) return kUsbErrorNoDevice;
    if (endpoint != 0x86 || length <= 0 || slot < 0) return kUsbErrorInvalid;
    queue_.push_back({slot, length});
    return 0;
  }
  int handleEvents(int timeoutMs) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // One transfer completes per call, each when its samples would have arrived.
    while (!queue_.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= next_) break;
      if (next_ > end) {
        std::this_thread::sleep_until(end);
        return 0;
      }
      std::this_thread::sleep_until(next_);
    }
    if (queue_.empty()) {
      std::this_thread::sleep_until(end);
      return 0;
    }
    reload();
    const Pending p = queue_.front();
    queue_.pop_front();
    next_ = std::chrono::steady_clock::now() +
            std::chrono::microseconds(static_cast<long long>(kSamplesPerTransfer / d_.rate * 1e6));
    UsbTransferStatus st = UsbTransferStatus::Completed;
    if (d_.gone || (d_.limit >= 0 && completed_ >= d_.limit)) {
      st = UsbTransferStatus::NoDevice;
    } else if (d_.stall) {
      st = UsbTransferStatus::Stall;
    } else if (failLeft_ > 0) {
      --failLeft_;
      st = UsbTransferStatus::Error;
    } else if (!streaming_) {
      st = UsbTransferStatus::TimedOut;
    }
    int length = 0;
    if (st == UsbTransferStatus::Completed) {
      ++completed_;
      fill(p.length);
      length = p.length;
    }
    if (completion_) completion_(p.slot, st, buffer_.data(), length);
    return 0;
  }
  void close() override {
    queue_.clear();
    open_ = false;
    streaming_ = false;
  }

 private:
  struct Pending {
    int slot, length;
  };
  void reload() {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
      d_ = Description{};
      return;
    }
    if (st.st_mtim.tv_sec == seen_.tv_sec && st.st_mtim.tv_nsec == seen_.tv_nsec && st.st_size == seenSize_) return;
    seen_ = st.st_mtim;
    seenSize_ = st.st_size;
    std::string text;
    if (!readConfigFile(path_, text, "sim/usb")) return;
    d_ = parse(text);
    failLeft_ = d_.fail;  // a changed description starts its failure count again
  }
  // Interleaved 32-bit I/Q that the reader scales by its recalc and windows: a tone of level L dB
  // ends up in its bin at L, given the window's coherent gain.
  void fill(int bytes) {
    const int samples = std::min(bytes / 8, kSamplesPerTransfer * 4);
    buffer_.assign(static_cast<size_t>(bytes), 0);
    const double recalc = std::pow(10.0, (21.4 - d_.offsets[0]) / 20.0);
    const double toRaw = 2147483648.0 / recalc / (2 * 0.35875);  // the line scales by n/2, the window by its mean
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double noiseAmp = std::pow(10.0, d_.noise / 20.0) * toRaw / std::sqrt(2.0 * kSamplesPerTransfer / 2.0);
    for (int n = 0; n < samples; ++n) {
      double i = 0, q = 0;
      for (const Tone& t : d_.tones) {
        const double a = std::pow(10.0, t.level / 20.0) * toRaw;
        const double ph = 2 * std::numbers::pi * t.fraction * static_cast<double>(sample_ + n);
        i += a * std::cos(ph);
        q += a * std::sin(ph);
      }
      if (d_.noise > -199) {
        i += noiseAmp * gauss(rng_);
        q += noiseAmp * gauss(rng_);
      }
      const int32_t iv = static_cast<int32_t>(std::clamp(i, -2147483647.0, 2147483647.0));
      const int32_t qv = static_cast<int32_t>(std::clamp(q, -2147483647.0, 2147483647.0));
      memcpy(&buffer_[static_cast<size_t>(n) * 8], &iv, 4);
      memcpy(&buffer_[static_cast<size_t>(n) * 8 + 4], &qv, 4);
    }
    sample_ += samples;
  }

  std::string path_;
  Description d_;
  timespec seen_{};
  off_t seenSize_ = -1;
  int failLeft_ = 0;
  bool open_ = false, streaming_ = false;
  std::deque<Pending> queue_;
  std::vector<uint8_t> buffer_;
  std::chrono::steady_clock::time_point next_{};
  long long sample_ = 0;
  long long completed_ = 0;
  std::mt19937 rng_{12345};
};

}  // namespace

std::unique_ptr<UsbPort> usbDeviceModel(const std::string& path) { return std::make_unique<UsbDeviceModel>(path); }
