// The amplifier micro as a deterministic device: command handling and the physics
// behind it (PA, couplers, tuner, antennas, thermistors, fan, protections).
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/micro/tuner_model.h"

namespace sim {

// Status and fault bits as the micro reports them.
namespace bits {
inline constexpr int kS0AnOn = 0x1;  // "AN" setting non-zero
inline constexpr int kS0Pad2dB = 0x4;
inline constexpr int kS0Pad3dB = 0x8;
inline constexpr int kS1Tx = 0x1;       // RF drive sensed
inline constexpr int kS1Alarm = 0x2;    // high-SWR trip latched
inline constexpr int kS1Protect = 0x4;  // protection mode ("MP1")
inline constexpr int kS1Bypass = 0x8;   // amplifier bypassed (stand-by)
inline constexpr int kFaultIOut = 0x01;
inline constexpr int kFaultRefl = 0x02;
inline constexpr int kFaultFwd = 0x04;
inline constexpr int kFaultSensPw = 0x08;
inline constexpr int kFaultFilter = 0x10;
inline constexpr int kFaultPwrIn = 0x20;
inline constexpr int kFaultBand = 0x40;
inline constexpr int kFaultReset = 0x80;
}  // namespace bits

// Everything a test or a person may want to see of the device at one instant.
struct MicroSnapshot {
  int model = 120;
  uint64_t freqHz = 0;
  bool tx = false;
  double driveW = 0;    // at the amplifier input connector
  double paInputW = 0;  // after the attenuator pads
  double fwdW = 0;      // forward power at the couplers
  double reflW = 0;     // reflected power at the couplers
  double swr = 0;       // at the amplifier (after the tuner)
  double loadW = 0;     // power reaching the antenna
  double currentA = 0;
  double supplyV = 0;
  double temp1C = 0;  // board thermistor
  double temp2C = 0;  // heat-sink thermistor
  int fanPct = 0;
  int rawPW = 0, rawFWD = 0, rawREFL = 0, rawCurrent = 0, rawT1 = 0, rawT2 = 0;
  int status0 = 0, status1 = 0, faults = 0;
  uint32_t tuneWord = 0;
  int antenna = 1;       // 1..3
  int attIndex = 0;      // 0..3 = 0, 2, 3, 5 dB
  bool bypass = true;    // amplifier stand-by
  bool protect = false;  // "MP1"
  int an = 0;
  int filterMask = 0;
  std::array<int, 4> ts{};  // PWIN, FWD, REFL, current (ADC counts)
  std::complex<double> antennaZ{};
  bool bootloader = false;
};

class MicroModel {
 public:
  explicit MicroModel(int model = 120);

  // One command without its ';'. Returns the reply with its ';', or an empty
  // string when the micro stays quiet. Never throws; bad input gets an error reply.
  std::string handle(std::string_view cmd);

  // Move the physics forward (model seconds, any size: it is sub-stepped).
  void advance(double seconds);

  // Power-on reset of the micro: relays and settings to their defaults and the
  // reset bit raised until "MR0;".
  void reset();

  void setTx(bool on) { tx_ = on; }
  void setDrive(double watts);
  void setFrequency(uint64_t hz) { freqHz_ = hz; }
  void setModel(int watts);  // 60 or 120; anything else is refused (false)
  int model() const { return model_; }
  void setAmbient(double c) { ambientC_ = c; }
  // Override one antenna's impedance (ant 1..3), or return it to its own model.
  void setAntennaLoad(int ant, std::optional<std::complex<double>> z);
  // Heat sink held at least at `c` degrees while set (a blocked fan, a hot room).
  void setHeatSinkFloor(std::optional<double> c) { heatFloor_ = c; }
  // Latch a high-SWR trip now, as if the reflected power had crossed its threshold.
  void tripSwr();
  void setCounterNeedsRf(bool v) { counterNeedsRf_ = v; }

  MicroSnapshot snapshot() const;
  std::string statusReply() const;  // the "ST" reply for the present state
  std::string dump() const;         // human-readable state

  std::complex<double> loadImpedance() const;

 private:
  struct Derived {
    double paInputW = 0, fwdW = 0, reflW = 0, loadW = 0, currentA = 0, dissW = 0;
    bool paLive = false;
  };
  Derived evaluate() const;
  void checkTrips(const Derived& d);
  double supplyV() const { return model_ == 120 ? 48.0 : 13.8; }
  std::string erBlock(int block) const;

  int model_ = 120;
  // Operator-side inputs.
  bool tx_ = false;
  double driveW_ = 0;
  uint64_t freqHz_ = 14070000;
  double ambientC_ = 25.0;
  std::array<std::optional<std::complex<double>>, 3> antOverride_{};
  std::optional<double> heatFloor_;
  bool counterNeedsRf_ = true;

  // Micro settings (set by commands).
  bool bypass_ = true;
  int att_ = 0;
  int an_ = 0;
  bool protect_ = false;
  int filterMask_ = 0;
  int antenna_ = 1;
  uint32_t tuneWord_ = kNetBypass;
  std::array<int, 4> ts_{4095, 4095, 1500, 3700};
  std::array<int, 4> ps_{};
  std::array<int, 2> gm_{};
  int fsSens_ = 0, fsPeriod_ = 0;
  std::string gs_ = "0000000000";
  int fanPct_ = 0;
  uint64_t faHz_ = 0;

  // Latches.
  int latched_ = 0;     // fault bits 0..4
  bool alarm_ = false;  // status1 bit 1
  bool resetFlag_ = true;
  bool bootloader_ = false;

  // Thermal state.
  double t1_ = 28.0, t2_ = 25.0;
};

// Turns a byte stream into commands. Bounded: a run of more than kMaxCommand bytes
// without ';' is dropped and reported as an overflow.
class CommandFramer {
 public:
  static constexpr size_t kMaxCommand = 256;
  struct Event {
    std::string text;  // command without ';' (or the start of a dropped run)
    bool overflow = false;
  };
  template <class F>
  void feed(const char* data, size_t n, F&& onEvent) {
    for (size_t i = 0; i < n; ++i) {
      const char ch = data[i];
      if (ch == ';') {
        if (dropping_) {
          dropping_ = false;
        } else {
          onEvent(Event{buf_, false});
        }
        buf_.clear();
        continue;
      }
      if (dropping_) continue;
      if (buf_.size() >= kMaxCommand) {
        onEvent(Event{buf_.substr(0, 32), true});
        buf_.clear();
        dropping_ = true;
        continue;
      }
      buf_.push_back(ch);
    }
  }
  size_t pending() const { return buf_.size(); }

 private:
  std::string buf_;
  bool dropping_ = false;
};

// Printable form of a command for logs: non-printing bytes become \xNN.
std::string printable(std::string_view s);

// Thermistor (10 k at 25 C, 10 k divider, 12-bit converter): reading for a temperature.
int thermistorReading(double tempC);

}  // namespace sim
