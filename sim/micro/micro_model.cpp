// Command handling and physics of the simulated amplifier micro.
#include "sim/micro/micro_model.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "sim/micro/calibration.h"

namespace sim {
namespace {

// Thermistor: 10 k at 25 C, -40..125 C every 5 C (resistance in kilohms).
constexpr double kNtc[34] = {347.808, 248.591, 179.973, 131.832, 97.679, 73.119, 55.301, 42.257, 32.582,
                             25.324,  19.847,  15.679,  12.478,  10.0,   8.068,  6.552,  5.353,  4.399,
                             3.635,   3.02,    2.521,   2.115,   1.783,  1.51,   1.284,  1.096,  0.939,
                             0.808,   0.698,   0.605,   0.527,   0.46,   0.403,  0.354};

constexpr double kAttDb[4] = {0.0, 2.0, 3.0, 5.0};

std::optional<int> decimal(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::optional<uint64_t> decimal64(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

std::optional<uint32_t> hex(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

int counts(double watts, double k) {
  if (!(watts > 0) || !(k > 0)) return 0;
  const double c = std::sqrt(watts / k);
  return static_cast<int>(std::lround(std::min(c, 4095.0)));
}

// A C variadic so the compiler checks every format against its arguments on each architecture.
__attribute__((format(printf, 1, 2))) std::string fmt(const char* f, ...) {
  char b[160];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(b, sizeof b, f, ap);
  va_end(ap);
  return b;
}

bool inAnyFilter(uint64_t hz) {
  for (const FilterBand& f : filterBank())
    if (hz + 20000 >= f.freqMin && hz <= f.freqMax + 20000ull) return true;
  return false;
}

}  // namespace

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

int thermistorReading(double tempC) {
  // Interpolate ln(R) between the table points: the curve is close to exponential.
  const double t = std::clamp(tempC, -40.0, 125.0);
  const int i = std::min(32, static_cast<int>((t + 40.0) / 5.0));
  const double frac = (t - (-40.0 + 5.0 * i)) / 5.0;
  const double lnR = std::log(kNtc[i]) + frac * (std::log(kNtc[i + 1]) - std::log(kNtc[i]));
  const double r = std::exp(lnR);
  return static_cast<int>(std::lround(4095.0 * r / (10.0 + r)));
}

MicroModel::MicroModel(int model) {
  setModel(model == 60 ? 60 : 120);
  t2_ = ambientC_;
  t1_ = ambientC_ + 3.0;
}

void MicroModel::setDrive(double watts) { driveW_ = std::isfinite(watts) ? std::clamp(watts, 0.0, 200.0) : 0.0; }

void MicroModel::setModel(int watts) {
  if (watts == 60 || watts == 120) model_ = watts;
}

void MicroModel::setAntennaLoad(int ant, std::optional<std::complex<double>> z) {
  if (ant < 1 || ant > 3) return;
  antOverride_[static_cast<size_t>(ant - 1)] = z;
}

std::complex<double> MicroModel::loadImpedance() const {
  const auto& o = antOverride_[static_cast<size_t>(std::clamp(antenna_, 1, 3) - 1)];
  if (o) return *o;
  return antennaImpedance(antenna_, static_cast<double>(freqHz_));
}

void MicroModel::reset() {
  bypass_ = true;
  att_ = 0;
  an_ = 0;
  protect_ = false;
  filterMask_ = 0;
  antenna_ = 1;
  tuneWord_ = kNetBypass;
  ts_ = {4095, 4095, 1500, 3700};
  ps_ = {};
  gm_ = {};
  fsSens_ = fsPeriod_ = 0;
  gs_ = "0000000000";
  fanPct_ = 0;
  faHz_ = 0;
  latched_ = 0;
  alarm_ = false;
  resetFlag_ = true;
  bootloader_ = false;
}

void MicroModel::tripSwr() {
  latched_ |= bits::kFaultRefl;
  alarm_ = true;
}

MicroModel::Derived MicroModel::evaluate() const {
  Derived d;
  const double drive = tx_ ? driveW_ : 0.0;
  d.paInputW = drive * std::pow(10.0, -kAttDb[att_ & 3] / 10.0);
  const bool bandFault = tx_ && drive > 0.5 && !inAnyFilter(freqHz_);
  const bool biasOff = (latched_ & 0x1F) != 0 || alarm_ || bandFault || bootloader_;
  double out = 0;
  if (bypass_) {
    out = drive;  // relays route the transceiver straight to the tuner
  } else if (tx_ && !biasOff) {
    // 60 W: 12 dB of gain, saturating near 68 W; 120 W: 13 dB, near 135 W.
    const double gain = model_ == 120 ? 19.95 : 15.85;
    const double psatNominal = model_ == 120 ? 135.0 : 68.0;
    const double psat = protect_ ? psatNominal * 0.3 : psatNominal;
    out = psat * std::tanh(d.paInputW * gain / psat);
    d.paLive = true;
    const double eff = std::clamp(0.62 * std::sqrt(out / psatNominal), 0.05, 0.62);
    const double iq = model_ == 120 ? 0.8 : 1.5;
    d.currentA = iq + out / (eff * supplyV());
  }
  const TunerSetting ts = decodeTuneWord(tuneWord_);
  const auto load = loadImpedance();
  const double g2 = reflectedFraction(ts, static_cast<double>(freqHz_), load);
  d.fwdW = out;
  d.reflW = out * g2;
  d.loadW = (out - d.reflW) * networkEfficiency(ts, static_cast<double>(freqHz_), load);
  if (d.paLive) d.dissW = std::max(0.0, supplyV() * d.currentA - out + 0.5 * d.reflW);
  return d;
}

void MicroModel::checkTrips(const Derived& d) {
  if (!d.paLive) return;
  const CouplerK k = couplerAt(static_cast<double>(freqHz_));
  const int rawPW = counts(tx_ ? driveW_ : 0.0, k.k2);
  const int rawFWD = counts(d.fwdW, k.k0);
  const int rawREFL = counts(d.reflW - k.k3 * d.fwdW, k.k1);
  const int rawI = std::min(4095, static_cast<int>(std::lround(d.currentA / 14.05 * 4096.0)));
  if (rawPW > ts_[0]) latched_ |= bits::kFaultSensPw;
  if (rawFWD > ts_[1]) latched_ |= bits::kFaultFwd;
  if (rawREFL > ts_[2]) {
    latched_ |= bits::kFaultRefl;
    alarm_ = true;
  }
  if (rawI > ts_[3]) latched_ |= bits::kFaultIOut;
  if (filterMask_ != 0) {
    uint32_t cutoff = UINT32_MAX;
    for (size_t i = 0; i < filterBank().size(); ++i)
      if (filterMask_ & (1 << i)) cutoff = std::min(cutoff, filterBank()[i].freqMax);
    if (freqHz_ > cutoff + 20000ull) latched_ |= bits::kFaultFilter;
  }
}

void MicroModel::advance(double seconds) {
  if (!(seconds > 0)) return;
  seconds = std::min(seconds, 3600.0);
  while (seconds > 0) {
    const double dt = std::min(seconds, 0.05);
    seconds -= dt;
    const Derived d = evaluate();
    checkTrips(d);
    // Heat sink: about 350 J/K; 1.7 K/W with the fan off, 0.25 K/W at full fan.
    const double g = 0.6 + 3.4 * fanPct_ / 100.0;
    t2_ += (d.dissW - g * (t2_ - ambientC_)) / 350.0 * dt;
    if (heatFloor_ && t2_ < *heatFloor_) t2_ = *heatFloor_;
    // The board sensor follows half of the heat-sink rise, a few degrees above air.
    const double t1Target = ambientC_ + 3.0 + 0.5 * (t2_ - ambientC_);
    t1_ += (t1Target - t1_) / 40.0 * dt;
  }
}

MicroSnapshot MicroModel::snapshot() const {
  const Derived d = evaluate();
  const CouplerK k = couplerAt(static_cast<double>(freqHz_));
  MicroSnapshot s;
  s.model = model_;
  s.freqHz = freqHz_;
  s.tx = tx_;
  s.driveW = tx_ ? driveW_ : 0.0;
  s.paInputW = d.paInputW;
  s.fwdW = d.fwdW;
  s.reflW = d.reflW;
  s.swr = d.fwdW > 0 ? swrFromGamma(std::sqrt(d.reflW / d.fwdW))
                     : networkSwr(tuneWord_, static_cast<double>(freqHz_), loadImpedance());
  s.loadW = d.loadW;
  s.currentA = d.currentA;
  s.supplyV = supplyV();
  s.temp1C = t1_;
  s.temp2C = t2_;
  s.fanPct = fanPct_;
  s.rawPW = counts(s.driveW, k.k2);
  s.rawFWD = counts(d.fwdW, k.k0);
  s.rawREFL = counts(d.reflW - k.k3 * d.fwdW, k.k1);
  s.rawCurrent = std::min(4095, static_cast<int>(std::lround(d.currentA / 14.05 * 4096.0)));
  s.rawT1 = thermistorReading(t1_);
  s.rawT2 = thermistorReading(t2_);
  s.status0 = (an_ ? bits::kS0AnOn : 0) | ((att_ & 2) ? bits::kS0Pad3dB : 0) | ((att_ & 1) ? bits::kS0Pad2dB : 0);
  s.status1 = ((tx_ && s.driveW > 0.1) ? bits::kS1Tx : 0) | (alarm_ ? bits::kS1Alarm : 0) |
              (protect_ ? bits::kS1Protect : 0) | (bypass_ ? bits::kS1Bypass : 0);
  int faults = latched_ & 0x1F;
  if (!bypass_ && tx_ && d.paInputW > (model_ == 120 ? 15.0 : 12.0)) faults |= bits::kFaultPwrIn;
  if (tx_ && s.driveW > 0.5 && !inAnyFilter(freqHz_)) faults |= bits::kFaultBand;
  if (resetFlag_) faults |= bits::kFaultReset;
  s.faults = faults;
  s.tuneWord = tuneWord_;
  s.antenna = antenna_;
  s.attIndex = att_;
  s.bypass = bypass_;
  s.protect = protect_;
  s.an = an_;
  s.filterMask = filterMask_;
  s.ts = ts_;
  s.antennaZ = loadImpedance();
  s.bootloader = bootloader_;
  return s;
}

std::string MicroModel::statusReply() const {
  const MicroSnapshot s = snapshot();
  // Positions 30-31 are spare; 32-35 carry the peak forward reading.
  return fmt("ST%X%X%04d%04d%04d%04d%04d%04d%X%X00%04d;", s.status0 & 0xF, s.status1 & 0xF, s.rawPW, s.rawFWD,
             s.rawREFL, s.rawCurrent, s.rawT1, s.rawT2, s.faults & 0xF, (s.faults >> 4) & 0xF, s.rawFWD);
}

std::string MicroModel::erBlock(int block) const {
  unsigned char b[32];
  for (int i = 0; i < 32; ++i) b[i] = static_cast<unsigned char>((0x3B + 29 * i + 71 * block) & 0xFF);
  if (block == 2) {
    b[0] = 0x01;                         // hardware revision
    b[1] = model_ == 120 ? 0x31 : 0x30;  // power class
  }
  std::string out = fmt("ER000%d", block);
  for (unsigned char c : b) out += fmt("%02X", c);
  return out + ";";
}

std::string MicroModel::handle(std::string_view cmd) {
  if (cmd.empty()) return {};  // a stray ';' is not a command
  auto err = [&](char kind) {
    std::string r;
    for (size_t i = 0; i < 2; ++i) {
      const char c = i < cmd.size() ? cmd[i] : '?';
      r.push_back(std::isupper(static_cast<unsigned char>(c)) ? c : '?');
    }
    r.push_back(kind);
    r.push_back(';');
    return r;
  };
  if (cmd.size() < 2) return err('?');
  const std::string_view op = cmd.substr(0, 2);
  const std::string_view p = cmd.substr(2);
  const std::string echo = std::string(cmd) + ";";

  if (bootloader_) {
    if (cmd == "MR0") {
      reset();  // leaving the loader restarts the micro
      return echo;
    }
    return err('&');
  }

  if (op == "VS") return p == "M" ? std::string("VSM2.07.13;") : err('!');
  if (op == "ST") return p.empty() ? statusReply() : err('!');
  if (op == "FM") {
    if (!p.empty()) return err('!');
    const bool rf = tx_ && driveW_ >= 0.2;
    if (counterNeedsRf_ && !rf) return "FM000000000000;";
    return fmt("FM1%011llu;", static_cast<unsigned long long>(std::min<uint64_t>(freqHz_, 99999999999ull)));
  }
  if (op == "SA") {
    const auto v = decimal(p);
    if (p.size() != 1 || !v || *v < 1 || *v > 3) return err('!');
    antenna_ = *v;
    return echo;
  }
  if (op == "FA") {
    const auto v = decimal64(p);
    if (p.size() != 11 || !v) return err('!');
    faHz_ = *v;
    return echo;
  }
  if (op == "MT") {
    if (p.empty()) return fmt("MT1%08X;", tuneWord_);
    if (p.size() != 9 || p[0] != '1') return err('!');
    const auto v = hex(p.substr(1));
    if (!v || !decodeTuneWord(*v).valid) return err('!');
    tuneWord_ = *v;
    return fmt("MT1%08X;", tuneWord_);
  }
  if (op == "FS") {
    const auto a = decimal(p.substr(0, 1));
    const auto b = p.size() == 5 ? decimal(p.substr(1)) : std::nullopt;
    if (p.size() != 5 || !a || !b) return err('!');
    fsSens_ = *a;
    fsPeriod_ = *b;
    return echo;
  }
  if (op == "CP") {
    const auto m = p.size() == 4 ? hex(p) : std::nullopt;
    if (!m) return err('!');
    latched_ &= ~static_cast<int>(*m & 0x1F);
    if (*m & bits::kFaultRefl) alarm_ = false;
    return echo;
  }
  if (op == "AT") {
    if (p.size() != 2 || (p[0] != '0' && p[0] != '1') || (p[1] != '0' && p[1] != '1')) return err('!');
    att_ = (p[0] == '1' ? 2 : 0) | (p[1] == '1' ? 1 : 0);
    return echo;
  }
  if (op == "MP" || op == "AB") {
    if (p.size() != 1 || (p[0] != '0' && p[0] != '1')) return err('!');
    (op == "MP" ? protect_ : bypass_) = p[0] == '1';
    return echo;
  }
  if (op == "AN") {
    const auto v = decimal(p);
    if (p.size() != 1 || !v) return err('!');
    an_ = *v;
    return echo;
  }
  if (op == "TS" || op == "PS") {
    if (p.size() != 16) return err('!');
    std::array<int, 4> w{};
    for (size_t i = 0; i < 4; ++i) {
      const auto v = decimal(p.substr(i * 4, 4));
      // Thresholds are 12-bit converter counts; the protection parameters are plain words.
      if (!v || (op == "TS" && *v > 4095)) return err('!');
      w[i] = *v;
    }
    (op == "TS" ? ts_ : ps_) = w;
    return echo;
  }
  if (op == "FN") {
    const auto v = p.size() == 4 && p[0] == '1' ? decimal(p.substr(1)) : std::nullopt;
    if (!v || *v > 100) return err('!');
    fanPct_ = *v;
    return echo;
  }
  if (op == "SF") {
    const auto lead = p.size() == 7 ? decimal(p.substr(0, 5)) : std::nullopt;
    const auto m = p.size() == 7 ? hex(p.substr(5)) : std::nullopt;
    if (!lead || !m) return err('!');
    filterMask_ = static_cast<int>(*m);
    return echo;
  }
  if (op == "MR") {
    if (p == "0") {
      resetFlag_ = false;
      return echo;
    }
    if (p == "1") {
      bootloader_ = true;  // waits for a firmware image; only "MR0;" leaves
      return echo;
    }
    return err('!');
  }
  if (op == "GM") {
    const auto a = p.size() == 8 ? decimal(p.substr(0, 4)) : std::nullopt;
    const auto b = p.size() == 8 ? decimal(p.substr(4)) : std::nullopt;
    if (!a || !b) return err('!');
    gm_ = {*a, *b};
    return echo;
  }
  if (op == "GS") {
    if (p.empty()) return "GS" + gs_ + ";";
    if (p.size() != 10) return err('!');
    for (char c : p)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return err('!');
    gs_ = std::string(p);
    return "GS" + gs_ + ";";
  }
  if (op == "ER") {
    if (p.size() != 4 || p.substr(0, 3) != "000" || p[3] < '0' || p[3] > '2') return err('!');
    return erBlock(p[3] - '0');
  }
  return err('?');
}

std::string MicroModel::dump() const {
  const MicroSnapshot s = snapshot();
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(2);
  const TunerSetting t = decodeTuneWord(s.tuneWord);
  o << "model " << s.model << " W, freq " << s.freqHz << " Hz, tx " << (s.tx ? "on" : "off") << ", drive " << s.driveW
    << " W\n"
    << "bypass " << s.bypass << ", att " << s.attIndex << ", protect " << s.protect << ", an " << s.an
    << ", filter mask 0x" << std::hex << s.filterMask << std::dec << ", fan " << s.fanPct << " %\n"
    << "antenna " << s.antenna << " Z " << s.antennaZ.real() << (s.antennaZ.imag() < 0 ? " -j" : " +j")
    << std::abs(s.antennaZ.imag()) << ", tuner word 0x" << std::hex << s.tuneWord << std::dec << " (L " << t.l << ", C "
    << t.c << ", "
    << (t.net == Network::CL   ? "CL"
        : t.net == Network::LC ? "LC"
                               : "bypass")
    << ")\n"
    << "PA in " << s.paInputW << " W, fwd " << s.fwdW << " W, refl " << s.reflW << " W, swr " << s.swr << ", load "
    << s.loadW << " W, I " << s.currentA << " A at " << s.supplyV << " V\n"
    << "temp board " << s.temp1C << " C, heat sink " << s.temp2C << " C\n"
    << "raw PW " << s.rawPW << " FWD " << s.rawFWD << " REFL " << s.rawREFL << " I " << s.rawCurrent << " T1 "
    << s.rawT1 << " T2 " << s.rawT2 << "\n"
    << "TS " << s.ts[0] << " " << s.ts[1] << " " << s.ts[2] << " " << s.ts[3] << ", status0 0x" << std::hex << s.status0
    << " status1 0x" << s.status1 << " faults 0x" << s.faults << std::dec << (s.bootloader ? ", in loader" : "")
    << "\n";
  return o.str();
}

}  // namespace sim
