// The GPIO thread: front-panel keys with long press and repeat, the bit-banged peripheral, two outputs.
#include "amp/gpio.h"

#include <unistd.h>
#include <cstdio>
#include <mutex>

#include "amp/amp.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/gpio_block.h"
#include "platform/log.h"
#include "platform/monotonic.h"

namespace {

// The peripheral's bit timing.
constexpr int64_t kBitPhaseUs = 200, kTurnaroundUs = 600;
// The message line's warning comes this long before a long-press event.
constexpr int64_t kSecondFunctionLeadUs = 150000;
constexpr int64_t kRepeatUs = 100000, kFastRepeatUs = 20000;
constexpr int kSlowRepeats = 14;
constexpr int kAutoCodes[] = {0xB0, 0xD1, 0xD2, 0xD3};
constexpr int kAutoCodeSlots = 5;  // the four codes and one interval without

void setFunction(GpioBlock& b, int pin, int function) {
  const int word = kGpFsel0 + pin / 10, shift = (pin % 10) * 3;
  b.write(word, (b.read(word) & ~(7u << shift)) | (static_cast<uint32_t>(function) << shift));
}
void drive(GpioBlock& b, int pin, bool high) { b.write(high ? kGpSet0 : kGpClr0, 1u << pin); }

int64_t longPressDelayUs(int repeatCount) {
  if (repeatCount == 0) return static_cast<int64_t>(TIME_LONG_PRESS.load() * 1e6);
  return repeatCount <= kSlowRepeats ? kRepeatUs : kFastRepeatUs;
}

int keyEvent(Works* w, int key, int heldMask) { return w->hooks.keyEvent ? w->hooks.keyEvent(w, key, heldMask) : 0; }

// The next code to send, taken under gpioMut: once taken, the record says none is pending, so a
// code another thread sets while this one is on the wire waits for the next pass instead of
// being overwritten when the exchange ends.
int takeCode(Works* w) {
  std::lock_guard<std::mutex> lk(w->gpioMut);
  if (w->gpioCode.load() == kGpioCodeNone) {
    if (w->gpioCodeCounter.load() == 0) {
      w->gpioCodeCounter = kCodeInterval;
      const int idx = w->gpioCodeIdx.load() % kAutoCodeSlots;
      if (idx < 4) w->gpioCode = kAutoCodes[idx];
      w->gpioCodeIdx = static_cast<uint8_t>((idx + 1) % kAutoCodeSlots);
    } else {
      w->gpioCodeCounter = w->gpioCodeCounter.load() - 1;
    }
  }
  return w->gpioCode.exchange(kGpioCodeNone);
}

void scanKey(Works* w, GpioKeys& k, int i, int raw, int64_t now) {
  const uint8_t bit = static_cast<uint8_t>(1u << i);
  // Debounce. Bounces back to the accepted level keep their count, and no key is accepted while
  // another one is down, so two keys never make a chord.
  if (raw != k.level[i]) {
    if (k.debounce[i] >= kDebouncePasses) {
      bool othersUp = true;
      for (int j = 0; j < kNumKeys; ++j)
        if (j != i && k.level[j] != 1) othersUp = false;
      if (othersUp) {
        k.level[i] = raw;
        k.debounce[i] = 0;
      }
    } else {
      ++k.debounce[i];
    }
  }
  if (k.tracked == 0 && k.level[i] == 0) {
    k.pressTimeUs = now;
    k.tracked |= bit;
  }
  if ((k.tracked & bit) && k.level[i] == 0 && !k.held[i]) {
    const int64_t past = now - k.pressTimeUs - longPressDelayUs(k.repeatCount);
    if (past > -kSecondFunctionLeadUs) w->msgFlags |= kMsgSecondFunction;
    if (past > 0) {
      k.held[i] = true;
      k.longSent[i] = true;
      k.heldMask |= bit;
      if (keyEvent(w, i + 1, k.heldMask)) {
        k.held[i] = false;
        ++k.repeatCount;
        k.pressTimeUs = now;
      }
    }
  }
  if (k.level[i] != k.previous[i]) {
    // A key that gave a long press (and its repeats) gives nothing more when let go.
    if (k.level[i] == 1 && k.previous[i] != -1 && !k.longSent[i]) keyEvent(w, i + 1, 0);
    k.previous[i] = k.level[i];
    if (k.level[i] == 1) {
      k.tracked &= static_cast<uint8_t>(~bit);
      k.held[i] = false;
      k.longSent[i] = false;
      k.heldMask &= ~bit;
      k.repeatCount = 0;
    }
  }
}

}  // namespace

void gpioConfigurePins(GpioBlock& b, MonotonicClock& clock) {
  for (int pin : {kPinData, kPinClock, kPinAlwaysHigh, kPinFwUpdate}) setFunction(b, pin, kFselOutput);
  drive(b, kPinFwUpdate, true);
  uint32_t keyMask = 0;
  for (int i = 0; i < kNumKeys; ++i) {
    setFunction(b, kPinKey1 + i, kFselInput);
    keyMask |= 1u << (kPinKey1 + i);
  }
  // The pull-up code reaches the pins through their clock; both go back to 0 afterwards.
  b.write(kGpPud, 2);
  clock.sleepUs(10);
  b.write(kGpPudClk0, keyMask);
  clock.sleepUs(10);
  b.write(kGpPud, 0);
  b.write(kGpPudClk0, 0);
}

int gpioExchange(GpioBlock& b, MonotonicClock& clock, int code) {
  for (int bit = 7; bit >= 0; --bit) {
    drive(b, kPinClock, true);
    clock.sleepUs(kBitPhaseUs);
    drive(b, kPinData, (code >> bit) & 1);
    clock.sleepUs(kBitPhaseUs);
    drive(b, kPinClock, false);
    clock.sleepUs(kBitPhaseUs);
  }
  setFunction(b, kPinData, kFselInput);
  drive(b, kPinClock, true);
  drive(b, kPinData, true);
  clock.sleepUs(kTurnaroundUs);
  int value = 0;
  for (int bit = 0; bit < 12; ++bit) {
    drive(b, kPinClock, false);
    clock.sleepUs(kBitPhaseUs);
    value = (value << 1) | static_cast<int>((b.read(kGpLev0) >> kPinData) & 1);
    drive(b, kPinClock, true);
    clock.sleepUs(kBitPhaseUs);
  }
  setFunction(b, kPinData, kFselOutput);
  drive(b, kPinData, true);
  drive(b, kPinClock, true);
  return value;
}

void gpioPass(Works* w, GpioScanner& s) {
  drive(s.block, kPinAlwaysHigh, true);
  drive(s.block, kPinClock, true);
  drive(s.block, kPinFwUpdate, !(w->updateFlags.load() & kUpdFwArmed));
  const int code = takeCode(w);
  if (code != kGpioCodeNone) {
    const int value = gpioExchange(s.block, s.clock, code);
    w->gpioReading[code & 3] = static_cast<uint8_t>(value & 0xFF);
  }
  const uint32_t levels = s.block.read(kGpLev0);
  const int64_t now = s.clock.nowUs();
  for (int i = 0; i < kNumKeys; ++i) scanKey(w, s.keys, i, static_cast<int>((levels >> (kPinKey1 + i)) & 1), now);
}

void gpioRun(Works* w, GpioBlock& block, MonotonicClock& clock) {
  GpioScanner s{block, clock, {}};
  gpioConfigurePins(block, clock);
  klog(LOG_INFO, "GPIO loop start\n");
  const GpioKeys& k = s.keys;
  ktrace(" t1 %d %d, t2 %d %d, t3 %d %d, t4 %d %d, t5 %d %d, t6 %d %d\n", k.level[0], k.previous[0], k.level[1],
         k.previous[1], k.level[2], k.previous[2], k.level[3], k.previous[3], k.level[4], k.previous[4], k.level[5],
         k.previous[5]);
  while (w->running && getFlag(w->setup->EnableGPIO) == '1') {
    gpioPass(w, s);
    clock.sleepUs(kPassUs);
  }
}

void GPIO(Works* w) {
  klog(LOG_INFO, "GPIO operations start\n");
  GpioOpen g = openGpioBlock(steadyClock());
  // Without its GPIO block the unit has neither keys nor PA voltage: the program ends.
  if (g.failure == GpioOpen::kOpen) {
    klog(LOG_ERR, "can't open /dev/mem\n");
    fflush(nullptr);
    _exit(8);
  }
  if (g.failure == GpioOpen::kMap) {
    klog(LOG_ERR, "mmap error %d\n", -1);
    fflush(nullptr);
    _exit(-1);
  }
  gpioRun(w, *g.block, steadyClock());
  klog(LOG_INFO, "GPIO operations end\n");
}
