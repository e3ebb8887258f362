// The tuner's 32-bit relay word: composing, decoding, its lock, the link's tuner commands and the manual keys.
#include <cstdio>

#include "amp/queue/queue.h"
#include "core/works.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {
// Word bit driven by each value bit (weight 1, 2, 4 ... 256) of the two banks.
constexpr int kCBits[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
constexpr int kLBits[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};
// Bits cleared before a new value is set (22 and 17 are spare relay lines that go with each bank).
constexpr uint32_t kCClear = (1u << 2) | (1u << 4) | (1u << 6) | (1u << 8) | (1u << 10) | (1u << 12) | (1u << 14) |
                             (1u << 15) | (1u << 20) | (1u << 22);
constexpr uint32_t kLClear = (1u << 1) | (1u << 3) | (1u << 5) | (1u << 7) | (1u << 9) | (1u << 11) | (1u << 13) |
                             (1u << 17) | (1u << 19) | (1u << 21);
constexpr uint32_t kNetMask = kTuneNetCL | kTuneNetLC | kTuneNetBypass;

uint32_t scatter(int v, const int (&bits)[9]) {
  uint32_t w = 0;
  for (int i = 0; i < 9; ++i)
    if (v & (1 << i)) w |= 1u << bits[i];
  return w;
}

int gather(uint32_t w, const int (&bits)[9]) {
  int v = 0;
  for (int i = 0; i < 9; ++i)
    if (w & (1u << bits[i])) v |= 1 << i;
  return v;
}

// Read-modify-write of the word as one atomic step, so a reader never sees half a change.
template <class F>
void updateWord(Works* w, F f) {
  uint32_t old = w->tuneWord.load();
  while (!w->tuneWord.compare_exchange_weak(old, f(old))) {
  }
}
}  // namespace

void SetC(Works* w, int c) {
  updateWord(w, [c](uint32_t t) { return (t & ~kCClear) | scatter(c, kCBits); });
  w->tuneC = c & 0x1FF;
}

void SetI(Works* w, int l) {
  updateWord(w, [l](uint32_t t) { return (t & ~kLClear) | scatter(l, kLBits); });
  w->tuneL = l & 0x1FF;
}

void SetMode(Works* w, int m) {
  w->tuneMode = static_cast<uint8_t>(m);
  uint32_t net = kTuneNetBypass;
  if (m == 1) net = kTuneNetCL;
  if (m == 2) net = kTuneNetLC;
  updateWord(w, [net](uint32_t t) { return (t & ~kNetMask) | net; });
  w->atuBypass = (net == kTuneNetBypass) ? 1 : 0;
  w->tuneModeCaption = (m == 1 || m == 2) ? m : 3;
}

int DecodeCapacitaFromTuneval(uint32_t t) { return gather(t, kCBits); }
int DecodeInduttanzaFromTuneval(uint32_t t) { return gather(t, kLBits); }

int DecodeModoFromTuneval(uint32_t t) {
  switch (t & kNetMask) {
    case 0: return 0;
    case kTuneNetCL: return 1;
    case kTuneNetLC: return 2;
    case kTuneNetBypass: return 3;
    default: ktrace("DecodeModoFromTuneval -> tune: 0x%x \n", t & 0x850000u); return 0;
  }
}

void ReadTnePar(Works* w) {
  uint32_t t = w->tuneWord.load();
  w->tuneC = DecodeCapacitaFromTuneval(t);
  w->tuneL = DecodeInduttanzaFromTuneval(t);
  int m = DecodeModoFromTuneval(t);
  w->tuneMode = static_cast<uint8_t>(m);
  if (m == 0) SetMode(w, 3);
}

// A real mutex behind the flag: waiting threads sleep instead of polling.
void WaitSemaforoTuneval(Works* w) {
  w->tuneWordMut.lock();
  w->tuneLock = 1;
}

void StopSemaforoTuneval(Works* w) {
  w->tuneLock = 0;
  w->tuneWordMut.unlock();
}

const char* TuneModeCaption(int mode) {
  if (mode == 1) return "CL";
  if (mode == 2) return " LC";
  return "ByP";
}

const char* ModeTuneDebug(int mode) {
  if (mode == 1) return "CL";
  if (mode == 2) return "LC";
  return "BP";
}

namespace {
// Composes the word of a tuner command; the caller holds the tune-word lock.
bool composeTunerCommand(Works* w, int state) {
  switch (state) {
    case LIN_MT1: break;
    case LIN_MT1_MEM:
      LoadTuneFromMEM(w, w->antennaIdx.load());
      w->atuBypass = 0;
      break;
    case LIN_MT1_BYPASS:
      w->atuBypass = 1;
      updateWord(w, [](uint32_t t) { return (t & ~(kTuneNetCL | kTuneNetLC)) | kTuneNetBypass; });
      break;
    case LIN_MT1_NEUTRAL:
      w->atuBypass = 0;
      w->tuneWord = kTuneNetCL;
      w->tuneC = 0;
      w->tuneL = 0;
      break;
    default: return false;
  }
  // The word the micro gets decides whether the tuner is in line.
  if (state == LIN_MT1) w->atuBypass = (w->tuneWord.load() & kTuneNetBypass) ? 1 : 0;
  return true;
}
}  // namespace

int TunerCommandText(Works* w, int state, char* out, size_t size) {
  WaitSemaforoTuneval(w);
  bool ok = composeTunerCommand(w, state);
  int n = ok ? snprintf(out, size, "MT1%08X;", static_cast<unsigned>(w->tuneWord.load())) : -1;
  StopSemaforoTuneval(w);
  return n;
}

int TunerCommand(Works* w, int state, void (*send)(Works*, const char*, int)) {
  WaitSemaforoTuneval(w);
  int n = -1;
  if (composeTunerCommand(w, state)) {
    char text[16];
    n = snprintf(text, sizeof text, "MT1%08X;", static_cast<unsigned>(w->tuneWord.load()));
    if (send) send(w, text, n);
  }
  StopSemaforoTuneval(w);
  return n;
}

void TuneManualC(Works* w, int delta) {
  WaitSemaforoTuneval(w);
  ReadTnePar(w);
  int c = w->tuneC;
  if ((delta < 0 && c > 0) || (delta > 0 && c < 511)) {
    SetC(w, c + (delta < 0 ? -1 : 1));
    ReadTnePar(w);
  }
  StopSemaforoTuneval(w);
  IncPNTIn_CMDLinear(LIN_MT1, w);
}

void TuneManualL(Works* w, int delta) {
  WaitSemaforoTuneval(w);
  ReadTnePar(w);
  int l = w->tuneL;
  if ((delta < 0 && l > 0) || (delta > 0 && l < 511)) {
    SetI(w, l + (delta < 0 ? -1 : 1));
    ReadTnePar(w);
  }
  StopSemaforoTuneval(w);
  IncPNTIn_CMDLinear(LIN_MT1, w);
}

void TuneManualMode(Works* w) {
  if (w->tuneState != 0) return;
  WaitSemaforoTuneval(w);
  int m = w->tuneMode;
  SetMode(w, m == 1 ? 2 : (m == 2 ? 3 : 1));
  StopSemaforoTuneval(w);
  IncPNTIn_CMDLinear(LIN_MT1, w);
}

void TuneManualBypass(Works* w) {
  if (w->atuBypass == 0) {
    IncPNTIn_CMDLinear(LIN_MT1_BYPASS, w);
    w->atuBypass = 1;  // recorded in the band row below before the link sends it
  } else {
    w->atuBypass = 0;
    GestioneLoadTuneVal(w, 1);
  }
  SaveToBank(w, w->NumBanco, w->antennaIdx);
}

void InstallTunerHooks(Works* w) {
  w->hooks.tunerCommand = TunerCommand;
  w->hooks.tuneTask = TuneTask;
  w->hooks.thresholds = SearchCambioSoglie_TS;
}
