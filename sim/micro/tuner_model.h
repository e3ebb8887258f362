// Electrical model of the tuner's L-network and of the three antennas behind it.
#pragma once

#include <complex>
#include <cstdint>

namespace sim {

// Relay-word network bits.
inline constexpr uint32_t kNetCL = 0x800000;     // bit 23
inline constexpr uint32_t kNetLC = 0x40000;      // bit 18
inline constexpr uint32_t kNetBypass = 0x10000;  // bit 16

enum class Network { Bypass = 0, CL = 1, LC = 2 };

// A decoded relay word. `valid` is false when more than one network bit is set:
// the relay driver refuses such a word rather than closing two networks at once.
struct TunerSetting {
  int l = 0;  // inductor step 0..511
  int c = 0;  // capacitor step 0..511
  Network net = Network::Bypass;
  bool valid = true;
};

TunerSetting decodeTuneWord(uint32_t word);
uint32_t encodeTuneWord(int l, int c, Network net);

// Parts of the bank (1.8-54 MHz, 100 W class):
//   inductor: 9 binary-weighted air/toroid coils, 0.04 uH step (0.04 .. 10.24 uH,
//             20.44 uH in all), 0.05 uH of wiring in series even at step 0, Q = 100;
//   capacitor: 9 binary-weighted silver-mica/ceramic groups, 8 pF step (8 .. 2048 pF,
//             4088 pF in all), 10 pF of relay and wiring stray at step 0, Q = 1000.
inline constexpr double kLStepH = 0.04e-6;
inline constexpr double kLResidualH = 0.05e-6;
inline constexpr double kCoilQ = 100.0;
inline constexpr double kCStepF = 8e-12;
inline constexpr double kCStrayF = 10e-12;
inline constexpr double kCapQ = 1000.0;
inline constexpr double kZ0 = 50.0;

// Impedance seen by the amplifier looking into the tuner loaded with `load`.
// CL: shunt capacitor on the amplifier side, series inductor towards the antenna
//     (raises low resistances); LC: series inductor first, shunt capacitor on the
//     antenna side (lowers high resistances); bypass: the load itself.
std::complex<double> networkInput(const TunerSetting& s, double freqHz, std::complex<double> load);

// SWR at the amplifier for a setting, capped at 100 like any meter would be.
double networkSwr(const TunerSetting& s, double freqHz, std::complex<double> load);
double networkSwr(uint32_t tuneWord, double freqHz, std::complex<double> load);
double networkSwr(int l, int c, Network net, double freqHz, std::complex<double> load);

// |reflection coefficient|^2 at the amplifier.
double reflectedFraction(const TunerSetting& s, double freqHz, std::complex<double> load);

// Fraction of the power accepted by the network that reaches the load
// (the rest heats the coil and capacitors).
double networkEfficiency(const TunerSetting& s, double freqHz, std::complex<double> load);

// Feed-point impedance of the built-in antennas, ant = 1..3:
//   1: a well-matched multiband antenna, within about 1.5:1 from 3.5 MHz up,
//      worse on 160 m;
//   2: a 40 m half-wave dipole (resonant near 7.1 MHz) used on any band;
//   3: a 12 m end-fed wire against a poor counterpoise: a hard load on most bands.
// Any other index gives an open relay contact (very high impedance).
std::complex<double> antennaImpedance(int ant, double freqHz);

double swrFromGamma(double gammaMagnitude);

// A tuner whose parts differ from the nominal ones above: real units do. Each relay bit has its
// own value (binary weights times a tolerance), the coil Q and the stray capacitance vary.
// The default is the nominal bank, so the functions above are this model with the defaults.
struct Plant {
  double lBitH[9];
  double cBitF[9];
  double lResidualH = kLResidualH;
  double cStrayF = kCStrayF;
  double coilQ = kCoilQ;
  double capQ = kCapQ;
  Plant();
  // Every relay's value scaled by its own factor in [1 - tol, 1 + tol], drawn from `seed`.
  void perturb(double tol, unsigned seed);
  double inductance(int l) const;   // H, residual included
  double capacitance(int c) const;  // F, stray included
};

std::complex<double> networkInput(const Plant& p, const TunerSetting& s, double freqHz, std::complex<double> load);
double networkSwr(const Plant& p, const TunerSetting& s, double freqHz, std::complex<double> load);
double networkSwr(const Plant& p, int l, int c, Network net, double freqHz, std::complex<double> load);

}  // namespace sim
