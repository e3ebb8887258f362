// The matching search of the auto-tune: a few probe settings tell a model of the network what the
// load is, the model names the setting that should match it, and every further reading corrects the
// model's picture of the load before a short poll around the best reading settles the last step.
// The model holds the nominal parts; the unit's real parts differ, which the refits absorb into the
// load they see. Each relay's own error bends the valley at its bit where no overall fit can follow,
// and the readings carry a few per cent of noise: so the search ends measuring, not trusting: a
// walk from the best to its neighbours, along the valley and past bends while the valley still
// falls, then the best few settings measured again, the best mean kept.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "core/works.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {
using cd = std::complex<double>;

// Nominal parts of the bank: 0.04 uH and 8 pF per step, 0.05 uH of wiring and 10 pF of stray.
constexpr double kStepH = 0.04e-6, kResidualH = 0.05e-6, kCoilQ = 100.0;
constexpr double kStepF = 8e-12, kStrayF = 10e-12, kCapQ = 1000.0;
constexpr double kZ0 = 50.0;
constexpr int kMaxStep = 511;
constexpr int kProbes = 4;
constexpr int kMaxRefits = 15;
constexpr double kNearWeight = 0.1;
constexpr int kScaleFitReadings = 6;  // readings before the step sizes are fitted too
constexpr double kScaleRange = 0.3;   // how far they may be from nominal
constexpr double kScalePenalty = 0.05;
constexpr int kSecondLooks = 2;          // refits to the readings near the best after the poll
constexpr double kSecondLookBand = 0.5;  // how far above the best (log SWR) those readings may be
constexpr int kPollReach = 2;            // steps around the best reading the poll looks at
constexpr int kPollMisses = 3;           // readings in a row without a better one that end the poll
constexpr int kNoPowerLimit = 5;         // readings in a row without forward power that end the search
constexpr int kDirs[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};

constexpr int kWalkMisses = 8;          // walk readings in a row without a better mean that end the walk
constexpr int kTrendReach = 12;         // values of one bank away from the best a falling row is followed
constexpr int kWalkUntil = 110;         // readings after which no walk starts or goes on
constexpr double kFinalistBand = 0.06;  // settings this far (relative) above the best mean are measured again
constexpr int kFinalists = 3;           // how many of them
constexpr int kFinalistReadings = 2;    // readings each finalist gets

enum Phase { kProbe = 0, kGuided = 1, kPoll = 2, kWalk = 3, kConfirm = 4 };

struct Setting {
  int net = 1, L = 0, C = 0;
};

// The network as the search pictures it: the angular frequency and how far the banks' steps are
// from their nominal values overall (fitted with the load once the readings allow it).
struct Net {
  double om = 0;
  double ls = 1, cs = 1;
};

double omega(const Works* w) { return 2.0 * std::numbers::pi * std::max<double>(static_cast<double>(w->freq), 1e5); }

cd inputOf(const Setting& s, const Net& n, cd load) {
  const double om = n.om;
  const double lH = kResidualH + kStepH * n.ls * s.L;
  const double cF = kStrayF + kStepF * n.cs * s.C;
  const cd zl(om * lH / kCoilQ + 0.02, om * lH);
  const cd yc(om * cF / kCapQ, om * cF);
  if (s.net == 1) return 1.0 / (yc + 1.0 / (zl + load));
  return zl + 1.0 / (yc + 1.0 / load);
}

double gammaOf(const Setting& s, const Net& om, cd load) {
  const cd z = inputOf(s, om, load);
  const double g = std::abs((z - kZ0) / (z + kZ0));
  return std::isfinite(g) ? std::min(g, 1.0) : 1.0;
}

cd loadFromGamma(double re, double im) {
  const cd g(re, im);
  return kZ0 * (1.0 + g) / (1.0 - g);
}

// The meter reads at most 100: a reading there only says "100 or more".
double logSwr(double gamma) { return std::log(std::min(100.0, (1.0 + gamma) / std::max(1e-9, 1.0 - gamma))); }

// How far the model with a load of reflection (re, im) is from the readings, compared as the
// logarithm of the SWR so that near matches and hard mismatches weigh alike.
double misfit(const Works* w, const Net& om, double re, double im) {
  if (re * re + im * im >= 0.999 * 0.999) return 1e9;
  const cd load = loadFromGamma(re, im);
  double e = 0;
  for (int i = 0; i < w->searchCount; ++i) {
    const SearchPoint& p = w->searchPts[i];
    const double m = std::log(std::clamp<double>(p.swr, 1.0, 100.0));
    if (m > w->searchFitCut) continue;
    const double d = logSwr(gammaOf({p.net, p.L, p.C}, om, load)) - m;
    e += d * d / (kNearWeight + m);
  }
  return e + kScalePenalty * ((om.ls - 1) * (om.ls - 1) + (om.cs - 1) * (om.cs - 1));
}

// Pattern search of the misfit from (re, im) with a shrinking step.
void refineFit(const Works* w, const Net& om, double& re, double& im, double step) {
  double best = misfit(w, om, re, im);
  while (step > 1e-5) {
    bool moved = false;
    for (const auto& d : kDirs) {
      const double r = re + d[0] * step, i = im + d[1] * step;
      const double e = misfit(w, om, r, i);
      if (e < best) {
        best = e;
        re = r;
        im = i;
        moved = true;
      }
    }
    if (!moved) step *= 0.5;
  }
}

// The whole reflection disc on a polar grid, then refined: the probes alone may leave two
// candidates. Once there are enough readings, the banks' overall step sizes are fitted with the
// load, so that a unit whose parts are off still has a model that points the right way.
void fitLoad(Works* w, double om, bool global) {
  Net net{om, 1, 1};
  double re = w->searchGammaRe, im = w->searchGammaIm;
  if (global) {
    double best = 1e18;
    for (int k = 0; k < 30; ++k) {
      const double rho = 0.995 * (1.0 - (1.0 - k / 29.0) * (1.0 - k / 29.0));
      const int angles = k == 0 ? 1 : 72;
      for (int a = 0; a < angles; ++a) {
        const double ang = 2.0 * std::numbers::pi * a / angles;
        const double r = rho * std::cos(ang), i = rho * std::sin(ang);
        const double e = misfit(w, net, r, i);
        if (e < best) {
          best = e;
          re = r;
          im = i;
        }
      }
    }
  } else {
    net.ls = w->searchLScale;
    net.cs = w->searchCScale;
  }
  refineFit(w, net, re, im, global ? 0.02 : 0.01);
  if (w->searchCount >= kScaleFitReadings) {
    double best = misfit(w, net, re, im);
    double step = 0.02;
    while (step > 1e-4) {
      bool moved = false;
      for (int axis = 0; axis < 4; ++axis)
        for (double sgn : {1.0, -1.0}) {
          double v[4] = {re, im, net.ls, net.cs};
          v[axis] += sgn * step;
          if (v[2] < 1 - kScaleRange || v[2] > 1 + kScaleRange || v[3] < 1 - kScaleRange || v[3] > 1 + kScaleRange)
            continue;
          const Net t{om, v[2], v[3]};
          const double e = misfit(w, t, v[0], v[1]);
          if (e < best) {
            best = e;
            re = v[0];
            im = v[1];
            net = t;
            moved = true;
          }
        }
      if (!moved) step *= 0.5;
    }
  }
  w->searchGammaRe = re;
  w->searchGammaIm = im;
  w->searchLScale = net.ls;
  w->searchCScale = net.cs;
}

int clampStep(double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, static_cast<double>(kMaxStep)))); }

double modelGamma(const Setting& s, const Net& om, cd load) { return gammaOf(s, om, load); }

// Pattern search of the model in relay steps from s.
Setting modelDescend(Setting s, const Net& om, cd load, int step) {
  double best = modelGamma(s, om, load);
  while (step >= 1) {
    bool moved = false;
    for (const auto& d : kDirs) {
      Setting t{s.net, std::clamp(s.L + d[0] * step, 0, kMaxStep), std::clamp(s.C + d[1] * step, 0, kMaxStep)};
      const double g = modelGamma(t, om, load);
      if (g < best) {
        best = g;
        s = t;
        moved = true;
      }
    }
    if (!moved) step /= 2;
  }
  return s;
}

// The setting the model names as the match of `load`: the lossless L-network solutions of both
// forms, and a coarse grid for loads those cannot reach, each polished on the model.
Setting modelBest(const Net& net, cd load) {
  const double om = net.om;
  Setting cands[16];
  int n = 0;
  const double R = load.real(), X = load.imag();
  // CL: the series coil brings the load onto the 1/50 S conductance circle, the shunt capacitor
  // cancels what susceptance is left.
  if (R > 0 && R < kZ0) {
    const double q = std::sqrt(R * (kZ0 - R));
    for (double sgn : {1.0, -1.0}) {
      const double xs = -X + sgn * q;
      const double xt = X + xs;
      const double b = xt / (R * R + xt * xt);
      if (xs > 0 && b > 0)
        cands[n++] = {1, clampStep((xs / om - kResidualH) / (kStepH * net.ls)),
                      clampStep((b / om - kStrayF) / (kStepF * net.cs))};
    }
  }
  // LC: the shunt capacitor brings the load onto the 50 ohm resistance circle, the series coil
  // cancels what reactance is left.
  const cd y = 1.0 / load;
  const double G = y.real(), B = y.imag();
  if (G > 0 && G < 1.0 / kZ0) {
    const double q = std::sqrt(G / kZ0 - G * G);
    for (double sgn : {1.0, -1.0}) {
      const double bc = -B + sgn * q;
      const double bt = B + bc;
      const double x = bt / (G * G + bt * bt);  // reactance of the shunted load is -x
      if (bc > 0 && x > 0)
        cands[n++] = {2, clampStep((x / om - kResidualH) / (kStepH * net.ls)),
                      clampStep((bc / om - kStrayF) / (kStepF * net.cs))};
    }
  }
  // Coarse grid: the best of each form.
  for (int k = 1; k <= 2; ++k) {
    Setting best{k, 0, 0};
    double g = 2.0;
    for (int L = 0; L <= kMaxStep; L += 32)
      for (int C = 0; C <= kMaxStep; C += 32) {
        const double v = modelGamma({k, L, C}, net, load);
        if (v < g) {
          g = v;
          best = {k, L, C};
        }
      }
    cands[n++] = best;
  }
  Setting best = cands[0];
  double g = 2.0;
  for (int i = 0; i < n; ++i) {
    const Setting s = modelDescend(cands[i], net, load, i + 2 >= n ? 16 : 4);
    const double v = modelGamma(s, net, load);
    if (v < g) {
      g = v;
      best = s;
    }
  }
  return best;
}

const SearchPoint* findPoint(const Works* w, const Setting& s) {
  for (int i = 0; i < w->searchCount; ++i) {
    const SearchPoint& p = w->searchPts[i];
    if (p.net == s.net && p.L == s.L && p.C == s.C) return &p;
  }
  return nullptr;
}

bool sameSetting(const SearchPoint& a, const SearchPoint& b) { return a.net == b.net && a.L == b.L && a.C == b.C; }

// The mean of every reading of the setting of `p`, and how many there are: a setting measured
// again is judged by its mean, since one lucky reading under noise is not a better match.
double meanSwr(const Works* w, const SearchPoint& p, int* count = nullptr) {
  double sum = 0;
  int n = 0;
  for (int i = 0; i < w->searchCount; ++i)
    if (sameSetting(w->searchPts[i], p)) {
      sum += w->searchPts[i].swr;
      ++n;
    }
  if (count) *count = n;
  return n ? sum / n : 1e9;
}

bool firstOfSetting(const Works* w, int i) {
  for (int j = 0; j < i; ++j)
    if (sameSetting(w->searchPts[j], w->searchPts[i])) return false;
  return true;
}

// The measured setting with the lowest mean reading.
const SearchPoint* bestPoint(const Works* w) {
  const SearchPoint* b = nullptr;
  double bm = 1e18;
  for (int i = 0; i < w->searchCount; ++i) {
    if (!firstOfSetting(w, i)) continue;
    const double m = meanSwr(w, w->searchPts[i]);
    if (m < bm) {
      bm = m;
      b = &w->searchPts[i];
    }
  }
  return b;
}

// Probe settings after the first reading (the load nearly as it is): a series reactance and a
// shunt susceptance scaled by that reading's SWR, since a load far from 50 ohms only shows a
// change under a large one, and both together.
Setting probe(const Works* w, int i) {
  const double om = omega(w);
  const double k = std::sqrt(std::clamp<double>(w->searchCount > 0 ? w->searchPts[0].swr : 1.0, 1.0, 100.0));
  const int lp = clampStep((kZ0 * k / om - kResidualH) / kStepH);
  const int cp = clampStep((1.0 / (kZ0 * k * om) - kStrayF) / kStepF);
  switch (i) {
    case 0: return {1, 0, 0};
    case 1: return {1, lp, 0};
    case 2: return {2, 0, cp};
    default: return {2, lp, cp};
  }
}

void apply(Works* w, const Setting& s) {
  if (w->tuneMode != s.net) SetMode(w, s.net);
  SetC(w, s.C);
  SetI(w, s.L);
}

// Of the candidates offered, the unmeasured one within the banks that the model rates best.
struct ModelPick {
  const Works* w;
  const Net& om;
  cd load;
  Setting& out;
  double best = 1e9;
  bool found = false;
  void consider(const Setting& t) {
    if (t.L < 0 || t.L > kMaxStep || t.C < 0 || t.C > kMaxStep || findPoint(w, t)) return;
    const double g = gammaOf(t, om, load);
    if (g < best) {
      best = g;
      out = t;
      found = true;
    }
  }
};

// The unmeasured setting near the best reading that the model, fitted to every reading, rates
// best: the neighbours two steps around it, and for each nearby value of one bank the model's best
// value of the other, which follows a narrow oblique valley that single steps would leave. The poll
// ends after kPollMisses readings in a row that did not improve.
bool nextPoll(Works* w, const Net& om, Setting& out) {
  const SearchPoint* b = bestPoint(w);
  if (!b || w->searchScale >= kPollMisses) return false;
  const cd load = loadFromGamma(w->searchGammaRe, w->searchGammaIm);
  ModelPick pick{w, om, load, out};
  auto consider = [&](const Setting& t) { pick.consider(t); };
  for (int dl = -kPollReach; dl <= kPollReach; ++dl)
    for (int dc = -kPollReach; dc <= kPollReach; ++dc) consider({b->net, b->L + dl, b->C + dc});
  for (int d = -kPollReach; d <= kPollReach; ++d) {
    const int C = b->C + d, L = b->L + d;
    if (C >= 0 && C <= kMaxStep) {
      Setting t{b->net, 0, C};
      double g = 2.0;
      for (int l = 0; l <= kMaxStep; ++l) {
        const double v = gammaOf({b->net, l, C}, om, load);
        if (v < g) {
          g = v;
          t.L = l;
        }
      }
      consider(t);
    }
    if (L >= 0 && L <= kMaxStep) {
      Setting t{b->net, L, 0};
      double g = 2.0;
      for (int c = 0; c <= kMaxStep; ++c) {
        const double v = gammaOf({b->net, L, c}, om, load);
        if (v < g) {
          g = v;
          t.C = c;
        }
      }
      consider(t);
    }
  }
  return pick.found;
}

// The step of one bank at which the model's reflection is least, the other bank held at `fixed`: the
// floor of the model's valley there.
int valleyStep(const Net& om, cd load, int net, int fixed, bool overC) {
  int best = 0;
  double g = 2.0;
  for (int v = 0; v <= kMaxStep; ++v) {
    const double x = gammaOf(overC ? Setting{net, fixed, v} : Setting{net, v, fixed}, om, load);
    if (x < g) {
      g = x;
      best = v;
    }
  }
  return best;
}

int valleyC(const Net& om, cd load, int net, int L) { return valleyStep(om, load, net, L, true); }
int valleyL(const Net& om, cd load, int net, int C) { return valleyStep(om, load, net, C, false); }

// The walk measures rather than trusts the model: from the best mean, the unmeasured settings one
// step away in every direction, two along each bank, and one step along the model's valley (offset to where the
// readings put it), in the order the model rates them. A relay that is off by 20 % bends the valley at its bit, which
// the model cannot see but a step that is measured does. It ends when no neighbour is left or after kWalkMisses
// readings in a row that did not beat the best.
bool nextWalk(Works* w, const Net& om, Setting& out) {
  const SearchPoint* b = bestPoint(w);
  if (!b || w->searchScale >= kWalkMisses || w->searchCount >= kWalkUntil) return false;
  const cd load = loadFromGamma(w->searchGammaRe, w->searchGammaIm);
  ModelPick pick{w, om, load, out};
  auto consider = [&](const Setting& t) { pick.consider(t); };
  for (const auto& d : kDirs) consider({b->net, b->L + d[0], b->C + d[1]});
  // Two steps along each bank too: where the lowest relay is off, the step past it is the nearer value.
  for (int d : {-2, 2}) {
    consider({b->net, b->L + d, b->C});
    consider({b->net, b->L, b->C + d});
  }
  const int cShift = b->C - valleyC(om, load, b->net, b->L);
  const int lShift = b->L - valleyL(om, load, b->net, b->C);
  for (int d : {-1, 1}) {
    if (b->L + d >= 0 && b->L + d <= kMaxStep)
      consider({b->net, b->L + d, std::clamp(valleyC(om, load, b->net, b->L + d) + cShift, 0, kMaxStep)});
    if (b->C + d >= 0 && b->C + d <= kMaxStep)
      consider({b->net, std::clamp(valleyL(om, load, b->net, b->C + d) + lShift, 0, kMaxStep), b->C + d});
  }
  return pick.found;
}

// The lowest mean among the readings with one bank at `v` (the other anywhere), in the best's
// network; false when there is none.
bool columnBest(const Works* w, int net, bool onL, int v, const SearchPoint** out) {
  double bm = 1e18;
  *out = nullptr;
  for (int i = 0; i < w->searchCount; ++i) {
    const SearchPoint& p = w->searchPts[i];
    if (p.net != net || (onL ? p.L : p.C) != v || !firstOfSetting(w, i)) continue;
    const double m = meanSwr(w, p);
    if (m < bm) {
      bm = m;
      *out = &p;
    }
  }
  return *out != nullptr;
}

// Past the walk: along each bank away from the best, the measured values of that bank form a row
// of valley floors; where they still fall at the row's end the valley goes on, however bad its
// floor is there, as past a relay whose bit is smaller than the bits below it together. The next
// value of the bank is measured with the other bank moved on as it moved between the last two.
bool nextTrend(const Works* w, Setting& out) {
  const SearchPoint* b = bestPoint(w);
  if (!b || w->searchCount >= kWalkUntil) return false;
  double bestFloor = 1e18;
  bool found = false;
  for (bool onL : {true, false})
    for (int d : {-1, 1}) {
      const SearchPoint* prev = b;
      const SearchPoint* last = nullptr;
      int k = 1;
      for (; k <= kTrendReach; ++k) {
        const int v = (onL ? b->L : b->C) + k * d;
        const SearchPoint* p = nullptr;
        if (v < 0 || v > kMaxStep || !columnBest(w, b->net, onL, v, &p)) break;
        if (last) prev = last;
        last = p;
      }
      const int v = (onL ? b->L : b->C) + k * d;
      if (k < 3 || k > kTrendReach || v < 0 || v > kMaxStep) continue;
      const double floorLast = meanSwr(w, *last), floorPrev = meanSwr(w, *prev);
      if (floorLast >= floorPrev || floorLast >= bestFloor) continue;
      Setting t{b->net, 0, 0};
      if (onL) {
        t.L = v;
        t.C = std::clamp(last->C + (last->C - prev->C), 0, kMaxStep);
      } else {
        t.C = v;
        t.L = std::clamp(last->L + (last->L - prev->L), 0, kMaxStep);
      }
      if (findPoint(w, t)) continue;
      bestFloor = floorLast;
      out = t;
      found = true;
    }
  return found;
}

// Whether a neighbour of the best is still unmeasured.
bool ringOpen(const Works* w) {
  const SearchPoint* b = bestPoint(w);
  if (!b) return false;
  for (const auto& d : kDirs) {
    const Setting t{b->net, b->L + d[0], b->C + d[1]};
    if (t.L >= 0 && t.L <= kMaxStep && t.C >= 0 && t.C <= kMaxStep && !findPoint(w, t)) return true;
  }
  return false;
}

// The settings whose mean is within kFinalistBand of the best are measured again until each has
// kFinalistReadings: under a few per cent of noise the lowest single reading is as often luck as
// a better match, and the search keeps the setting with the lowest mean.
bool nextFinalist(const Works* w, Setting& out) {
  const SearchPoint* b = bestPoint(w);
  if (!b || w->searchCount >= kSearchPoints - 1) return false;
  const double limit = meanSwr(w, *b) * (1.0 + kFinalistBand);
  const SearchPoint* picks[kFinalists] = {};
  double means[kFinalists] = {};
  for (int i = 0; i < w->searchCount; ++i) {
    if (!firstOfSetting(w, i)) continue;
    const double m = meanSwr(w, w->searchPts[i]);
    if (m > limit) continue;
    // Keep the kFinalists lowest means, in order.
    for (int k = 0; k < kFinalists; ++k)
      if (!picks[k] || m < means[k]) {
        for (int j = kFinalists - 1; j > k; --j) {
          picks[j] = picks[j - 1];
          means[j] = means[j - 1];
        }
        picks[k] = &w->searchPts[i];
        means[k] = m;
        break;
      }
  }
  for (const SearchPoint* p : picks) {
    int n = 0;
    if (p && (meanSwr(w, *p, &n), n < kFinalistReadings)) {
      out = {p->net, p->L, p->C};
      return true;
    }
  }
  // A finalist away from the best sits in a basin of its own (across a relay's bit, or the other
  // network): its neighbours are measured too, and a better one becomes a finalist in turn.
  if (w->searchCount >= kWalkUntil) return false;
  for (const SearchPoint* p : picks) {
    if (!p || p == b || (p->net == b->net && std::abs(p->L - b->L) <= 2 && std::abs(p->C - b->C) <= 2)) continue;
    for (const auto& d : kDirs) {
      const Setting t{p->net, p->L + d[0], p->C + d[1]};
      if (t.L >= 0 && t.L <= kMaxStep && t.C >= 0 && t.C <= kMaxStep && !findPoint(w, t)) {
        out = t;
        return true;
      }
    }
  }
  return false;
}

// The run ends on the setting with the best mean, which need not be the lowest single reading the
// run's record kept.
void keepBestMean(Works* w) {
  const SearchPoint* b = bestPoint(w);
  if (!b) return;
  const Setting s{b->net, b->L, b->C};
  const double m = meanSwr(w, *b);
  apply(w, s);
  TuneRecord r = w->miglioretuneParam;
  r.swr = static_cast<float>(m);
  r.L = s.L;
  r.C = s.C;
  r.tuneWord = w->tuneWord.load();
  w->miglioretuneParam = r;
}
}  // namespace

void MatchSearchReset(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->tuneRunMut);
  w->searchCount = 0;
  w->searchPhase = kProbe;
  w->searchRefits = 0;
  w->searchScale = 0;
  w->searchGammaRe = w->searchGammaIm = 0;
  w->searchLScale = w->searchCScale = 1;
  w->searchSecondLooks = 0;
  w->searchFitCut = 1e9;
  w->searchStale = 0;
  w->searchNoPower = 0;
  w->searchUnderTarget = 0;
  apply(w, probe(w, 0));
}

int MatchSearchStep(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->tuneRunMut);
  const Net om{omega(w), w->searchLScale, w->searchCScale};
  const Setting cur{w->tuneMode == 2 ? 2 : 1, w->tuneL.load(), w->tuneC.load()};
  if (w->searchStale) {
    // The reading after a cleared trip still belongs to the word that tripped: measure again.
    w->searchStale = 0;
    return 0;
  }
  const float swr = w->tuneParam.swr;
  if (swr <= 0.01f) {
    // No forward power: the setting's match is unknown. A carrier that stays away ends the search.
    if (++w->searchNoPower >= kNoPowerLimit) {
      klog(LOG_ERR, "Tuner: matching search without forward power for %d readings, search ended", kNoPowerLimit);
      return 1;
    }
    return 0;
  }
  w->searchNoPower = 0;
  if (w->searchCount < kSearchPoints)
    w->searchPts[w->searchCount++] =
        SearchPoint{static_cast<int16_t>(cur.net), static_cast<int16_t>(cur.L), static_cast<int16_t>(cur.C), swr};
  if (w->tuneState == 2) w->searchStale = 1;
  if (w->searchCount >= kSearchPoints) {
    keepBestMean(w);
    return 1;
  }

  Setting next;
  if (w->searchPhase == kProbe) {
    for (int i = 1; i < kProbes; ++i) {
      const Setting p = probe(w, i);
      if (!findPoint(w, p)) {
        apply(w, p);
        return 0;
      }
    }
    fitLoad(w, om.om, true);
    w->searchPhase = kGuided;
  } else if (w->searchPhase == kGuided) {
    fitLoad(w, om.om, true);
  }
  if (w->searchPhase == kGuided) {
    const Setting m =
        modelBest(Net{om.om, w->searchLScale, w->searchCScale}, loadFromGamma(w->searchGammaRe, w->searchGammaIm));
    if (!findPoint(w, m) && w->searchRefits < kMaxRefits) {
      ++w->searchRefits;
      apply(w, m);
      return 0;
    }
    w->searchPhase = kPoll;
    w->searchScale = 0;
  }
  if (w->searchPhase == kPoll) {
    const SearchPoint* b = bestPoint(w);
    w->searchScale = (b && b->L == cur.L && b->C == cur.C && b->net == cur.net) ? 0 : w->searchScale + 1;
    fitLoad(w, om.om, false);
  }
  if (w->searchPhase == kPoll && nextPoll(w, Net{om.om, w->searchLScale, w->searchCScale}, next)) {
    apply(w, next);
    return 0;
  }
  // A second look: the readings near the best share its larger relays, so a fit to them alone sees
  // the unit's own step sizes there; where it names an unmeasured setting, the poll starts again.
  if (w->searchPhase == kPoll && w->searchSecondLooks < kSecondLooks && bestPoint(w)) {
    ++w->searchSecondLooks;
    w->searchFitCut = std::log(std::max(1.0f, bestPoint(w)->swr)) + kSecondLookBand;
    fitLoad(w, om.om, false);
    const Setting m =
        modelBest(Net{om.om, w->searchLScale, w->searchCScale}, loadFromGamma(w->searchGammaRe, w->searchGammaIm));
    w->searchFitCut = 1e9;
    if (!findPoint(w, m)) {
      w->searchScale = 0;
      apply(w, m);
      return 0;
    }
  }
  if (w->searchPhase == kPoll) {
    w->searchPhase = kWalk;
    w->searchScale = 0;
  } else if (w->searchPhase == kWalk) {
    const SearchPoint* b = bestPoint(w);
    w->searchScale = (b && b->L == cur.L && b->C == cur.C && b->net == cur.net) ? 0 : w->searchScale + 1;
  }
  for (int pass = 0; pass < 2; ++pass) {
    if (w->searchPhase == kWalk) {
      // Fitted to the readings near the best only, as in the second look: the model orders the
      // walk's candidates, the readings decide.
      if (const SearchPoint* b = bestPoint(w))
        w->searchFitCut = std::log(std::max(1.0, meanSwr(w, *b))) + kSecondLookBand;
      fitLoad(w, om.om, false);
      w->searchFitCut = 1e9;
      if (nextWalk(w, Net{om.om, w->searchLScale, w->searchCScale}, next) || nextTrend(w, next)) {
        apply(w, next);
        return 0;
      }
      w->searchPhase = kConfirm;
    }
    if (w->searchPhase == kConfirm) {
      if (nextFinalist(w, next)) {
        apply(w, next);
        return 0;
      }
      // Measured again, another setting may lead, one the walk has not been around: walk again.
      if (w->searchCount < kWalkUntil && ringOpen(w)) {
        w->searchPhase = kWalk;
        w->searchScale = 0;
        continue;
      }
    }
    break;
  }
  keepBestMean(w);
  ktrace("MATCH SEARCH: %d readings, best mean SWR %.2f\n", w->searchCount,
         bestPoint(w) ? meanSwr(w, *bestPoint(w)) : 0.0);
  return 1;
}
