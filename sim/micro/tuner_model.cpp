// Relay-word decoding, L-network impedance maths and antenna impedance models.
#include "sim/micro/tuner_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace sim {
namespace {

// Word bit driven by each value bit (weight 1, 2, 4 ... 256) of the two banks.
constexpr std::array<int, 9> kCBits = {15, 2, 4, 6, 14, 12, 10, 8, 20};
constexpr std::array<int, 9> kLBits = {1, 3, 5, 7, 13, 11, 9, 19, 21};

int gather(uint32_t word, const std::array<int, 9>& bits) {
  int v = 0;
  for (int i = 0; i < 9; ++i)
    if (word & (1u << bits[static_cast<size_t>(i)])) v |= 1 << i;
  return v;
}

uint32_t scatter(int value, const std::array<int, 9>& bits) {
  uint32_t w = 0;
  for (int i = 0; i < 9; ++i)
    if (value & (1 << i)) w |= 1u << bits[static_cast<size_t>(i)];
  return w;
}

using cd = std::complex<double>;

// Open-ended lossy line: a simple but well-behaved picture of a wire antenna far
// from its design frequency (a dipole arm pair, or a wire against its counterpoise).
// `lossAtRes` is alpha*h at the first resonance, chosen so that the resistance there
// is the familiar radiation resistance; it grows with frequency squared below the
// first resonance (short antennas radiate poorly) and linearly above it.
cd openLine(double z0, double freqHz, double firstResHz, double lossAtRes) {
  const double ratio = freqHz / firstResHz;
  const double betaH = std::numbers::pi / 2.0 * ratio;
  const double alphaH = ratio < 1.0 ? lossAtRes * ratio * ratio : lossAtRes * ratio;
  const cd g(alphaH, betaH);
  const cd th = std::tanh(g);
  if (std::abs(th) < 1e-12) return cd(1e6, 0.0);
  return z0 / th;  // z0 * coth(gamma h)
}

}  // namespace

TunerSetting decodeTuneWord(uint32_t word) {
  TunerSetting s;
  s.c = gather(word, kCBits);
  s.l = gather(word, kLBits);
  const uint32_t net = word & (kNetCL | kNetLC | kNetBypass);
  if (net == 0 || net == kNetBypass) {
    s.net = Network::Bypass;  // relays released: straight through
  } else if (net == kNetCL) {
    s.net = Network::CL;
  } else if (net == kNetLC) {
    s.net = Network::LC;
  } else {
    s.net = Network::Bypass;
    s.valid = false;
  }
  return s;
}

uint32_t encodeTuneWord(int l, int c, Network net) {
  uint32_t w = scatter(std::clamp(c, 0, 511), kCBits) | scatter(std::clamp(l, 0, 511), kLBits);
  switch (net) {
    case Network::CL: w |= kNetCL; break;
    case Network::LC: w |= kNetLC; break;
    case Network::Bypass: w |= kNetBypass; break;
  }
  return w;
}

Plant::Plant() {
  for (int i = 0; i < 9; ++i) {
    lBitH[i] = kLStepH * (1 << i);
    cBitF[i] = kCStepF * (1 << i);
  }
}

void Plant::perturb(double tol, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(1.0 - tol, 1.0 + tol);
  for (auto& v : lBitH) v *= u(gen);
  for (auto& v : cBitF) v *= u(gen);
}

double Plant::inductance(int l) const {
  double h = lResidualH;
  for (int i = 0; i < 9; ++i)
    if (std::clamp(l, 0, 511) & (1 << i)) h += lBitH[i];
  return h;
}

double Plant::capacitance(int c) const {
  double f = cStrayF;
  for (int i = 0; i < 9; ++i)
    if (std::clamp(c, 0, 511) & (1 << i)) f += cBitF[i];
  return f;
}

// The nominal bank keeps its own arithmetic (step times count) so its figures never move.
std::complex<double> networkInput(const TunerSetting& s, double freqHz, cd load) {
  if (s.net == Network::Bypass || !s.valid) return load;
  const double w = 2.0 * std::numbers::pi * std::max(freqHz, 1.0);
  const double lH = kLResidualH + kLStepH * std::clamp(s.l, 0, 511);
  const double cF = kCStrayF + kCStepF * std::clamp(s.c, 0, 511);
  const cd zl(w * lH / kCoilQ + 0.02, w * lH);  // coil loss plus relay contacts
  const cd yc(w * cF / kCapQ, w * cF);
  const cd ld = (std::abs(load) < 1e-9) ? cd(1e-9, 0.0) : load;
  if (s.net == Network::CL) return 1.0 / (yc + 1.0 / (zl + ld));
  return zl + 1.0 / (yc + 1.0 / ld);
}

std::complex<double> networkInput(const Plant& p, const TunerSetting& s, double freqHz, cd load) {
  if (s.net == Network::Bypass || !s.valid) return load;
  const double w = 2.0 * std::numbers::pi * std::max(freqHz, 1.0);
  const double lH = p.inductance(s.l);
  const double cF = p.capacitance(s.c);
  const cd zl(w * lH / p.coilQ + 0.02, w * lH);  // coil loss plus relay contacts
  const cd yc(w * cF / p.capQ, w * cF);
  const cd ld = (std::abs(load) < 1e-9) ? cd(1e-9, 0.0) : load;
  if (s.net == Network::CL) return 1.0 / (yc + 1.0 / (zl + ld));
  return zl + 1.0 / (yc + 1.0 / ld);
}

double swrFromGamma(double g) {
  if (!(g < 0.98019801980198)) return 100.0;  // (1+g)/(1-g) >= 100
  return std::min(100.0, (1.0 + g) / (1.0 - g));
}

double reflectedFraction(const TunerSetting& s, double freqHz, cd load) {
  const cd zin = networkInput(s, freqHz, load);
  const cd gamma = (zin - kZ0) / (zin + kZ0);
  const double g2 = std::norm(gamma);
  return std::isfinite(g2) ? std::min(g2, 1.0) : 1.0;
}

double networkSwr(const TunerSetting& s, double freqHz, cd load) {
  return swrFromGamma(std::sqrt(reflectedFraction(s, freqHz, load)));
}

double networkSwr(const Plant& p, const TunerSetting& s, double freqHz, cd load) {
  const cd zin = networkInput(p, s, freqHz, load);
  const cd gamma = (zin - kZ0) / (zin + kZ0);
  const double g2 = std::norm(gamma);
  return swrFromGamma(std::sqrt(std::isfinite(g2) ? std::min(g2, 1.0) : 1.0));
}

double networkSwr(const Plant& p, int l, int c, Network net, double freqHz, cd load) {
  TunerSetting s;
  s.l = l;
  s.c = c;
  s.net = net;
  return networkSwr(p, s, freqHz, load);
}

double networkSwr(uint32_t tuneWord, double freqHz, cd load) {
  return networkSwr(decodeTuneWord(tuneWord), freqHz, load);
}

double networkSwr(int l, int c, Network net, double freqHz, cd load) {
  TunerSetting s;
  s.l = l;
  s.c = c;
  s.net = net;
  return networkSwr(s, freqHz, load);
}

double networkEfficiency(const TunerSetting& s, double freqHz, cd load) {
  if (s.net == Network::Bypass || !s.valid) return 1.0;
  const double w = 2.0 * std::numbers::pi * std::max(freqHz, 1.0);
  const double lH = kLResidualH + kLStepH * std::clamp(s.l, 0, 511);
  const double cF = kCStrayF + kCStepF * std::clamp(s.c, 0, 511);
  const cd zl(w * lH / kCoilQ + 0.02, w * lH);
  const cd yc(w * cF / kCapQ, w * cF);
  const cd ld = (std::abs(load) < 1e-9) ? cd(1e-9, 0.0) : load;
  // Drive the network with 1 V at its input and follow the currents to the load.
  if (s.net == Network::CL) {
    const cd vin(1.0, 0.0);
    const cd iSeries = vin / (zl + ld);
    const double pLoad = std::norm(iSeries) * ld.real();
    const double pIn = (vin * std::conj(vin * yc + iSeries)).real();
    return pIn > 0 ? std::clamp(pLoad / pIn, 0.0, 1.0) : 0.0;
  }
  const cd iin(1.0, 0.0);
  const cd vout = iin / (yc + 1.0 / ld);
  const double pLoad = (vout * std::conj(vout / ld)).real();
  const double pIn = std::norm(iin) * (zl.real() + (1.0 / (yc + 1.0 / ld)).real());
  return pIn > 0 ? std::clamp(pLoad / pIn, 0.0, 1.0) : 0.0;
}

std::complex<double> antennaImpedance(int ant, double freqHz) {
  const double f = std::max(freqHz, 1.0);
  const double mhz = f / 1e6;
  switch (ant) {
    case 1: {
      // Ripples of a few ohms around 50 from band to band; the 160 m end is short
      // for this antenna and turns capacitive.
      double r = 50.0 + 7.0 * std::sin(2.0 * std::numbers::pi * mhz / 4.3);
      double x = 10.0 * std::cos(2.0 * std::numbers::pi * mhz / 3.1);
      if (mhz < 3.0) {
        const double k = (3.0 - mhz) / 1.2;
        r -= 18.0 * k;
        x -= 45.0 * k;
      }
      return {r, x};
    }
    case 2:
      // 2 x 10.1 m dipole: about 70 ohms at 7.1 MHz, kilohms on 20 m and 10 m.
      return openLine(800.0, f, 7.1e6, 70.0 / 800.0);
    case 3:
      // 12 m end-fed wire: quarter-wave near 6.2 MHz, with 20 ohms of ground loss.
      return openLine(450.0, f, 6.2e6, 36.0 / 450.0) + cd(20.0, 0.0);
    default: return {1e5, -1e5};
  }
}

}  // namespace sim
