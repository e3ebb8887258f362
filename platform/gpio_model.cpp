// The register model of the GPIO block: latches, pulls, keys and the bit-banged peripheral.
#include "platform/gpio_model.h"

#include "platform/log.h"
#include "platform/monotonic.h"

GpioModel::GpioModel(MonotonicClock& clock, const std::string& panelPath) : clock_(clock) {
  if (!panelPath.empty() && !panel_.open(panelPath))
    klog(LOG_ERR, "gpio model: no panel at %s, the keys stay released", panelPath.c_str());
  const int64_t now = clock_.nowUs();
  lastFall_ = lastRise_ = lastDataChange_ = codeEnd_ = bitEdge_ = now;
}

uint32_t GpioModel::levels(int64_t now) const {
  const uint32_t keys = panel_.keysDown();
  uint32_t v = 0;
  for (int pin = 0; pin < 32; ++pin) {
    int level;
    if (isOutput(pin)) {
      level = (latch_ >> pin) & 1;
    } else if (pin == kDataPin && driving_) {
      level = now - bitEdge_ >= kBitValidUs ? bitNow_ : bitBefore_;
    } else if (pin >= kKeyPin0 && pin < kKeyPin0 + 6 && ((keys >> (pin - kKeyPin0)) & 1)) {
      level = 0;
    } else {
      level = pulledUp(pin) ? 1 : 0;
    }
    v |= static_cast<uint32_t>(level) << pin;
  }
  return v;
}

uint32_t GpioModel::read(int word) {
  if (word >= kGpFsel0 && word < kGpFsel0 + 6) return fsel_[word - kGpFsel0];
  if (word == kGpPud) return pud_;
  if (word != kGpLev0) return 0;
  const uint32_t v = levels(clock_.nowUs());
  panel_.noteLevelRead();
  // A key is "seen" when the program reads its pin low after reading it high.
  const uint32_t down = ~(v >> kKeyPin0) & 0x3F;
  for (int k = 0; k < 6; ++k)
    if ((down & ~keysReadDown_) & (1u << k)) panel_.notePressSeen(k + 1);
  keysReadDown_ = down;
  return v;
}

void GpioModel::write(int word, uint32_t value) {
  if (word >= kGpFsel0 && word < kGpFsel0 + 6) {
    const bool dataWasOutput = isOutput(kDataPin);
    fsel_[word - kGpFsel0] = value & 0x3FFFFFFF;
    // The host took the data line back in the middle of an answer: the peripheral lets go and
    // waits for a new code.
    if (!dataWasOutput && isOutput(kDataPin) && phase_ == Phase::kReply && bits_ < 12) {
      if (bits_ > 0) panel_.noteTimingFault();
      restartFrame();
    }
    return;
  }
  if (word == kGpSet0) return setLatches(latch_ | value);
  if (word == kGpClr0) return setLatches(latch_ & ~value);
  if (word == kGpPud) {
    pud_ = value & 3;
  } else if (word == kGpPudClk0 && value) {
    if (pud_ == 2) pullUp_ |= value;
    if (pud_ == 1 || pud_ == 0) pullUp_ &= ~value;
  }
}

void GpioModel::setLatches(uint32_t newLatch) {
  const int64_t now = clock_.nowUs();
  const uint32_t changed = latch_ ^ newLatch;
  const uint32_t clockBit = 1u << kClockPin, dataBit = 1u << kDataPin;
  latch_ = newLatch;
  if (changed) panel_.setOutputs(latch_);
  if ((changed & dataBit) && isOutput(kDataPin)) lastDataChange_ = now;
  if ((changed & clockBit) && isOutput(kClockPin)) {
    if (newLatch & clockBit)
      clockRose(now);
    else
      clockFell(now);
  }
}

void GpioModel::restartFrame() {
  phase_ = Phase::kReceive;
  bits_ = 0;
  shift_ = 0;
  spoiled_ = false;
  driving_ = false;
}

void GpioModel::clockFell(int64_t now) {
  const int64_t high = now - lastRise_;
  lastFall_ = now;
  if (phase_ == Phase::kReceive) {
    if (!isOutput(kDataPin)) return;  // clocked with nothing to say
    if (bits_ > 0 && now - codeEnd_ > kFrameTimeoutUs) {
      panel_.noteTimingFault();  // a code left half sent
      restartFrame();
    }
    if (bits_ > 0 && high < kMinPhaseUs) spoiled_ = true;
    if (now - lastDataChange_ < kMinPhaseUs) spoiled_ = true;
    shift_ = (shift_ << 1) | ((latch_ >> kDataPin) & 1);
    codeEnd_ = now;
    if (++bits_ == 8) {
      code_ = shift_ & 0xFF;
      reply_ = spoiled_ ? 0xFFF : panel_.reply(static_cast<int>(code_));
      phase_ = Phase::kReply;
      bits_ = 0;
    }
    return;
  }
  // Answer: a bit after each falling edge, once the conversion had its time.
  if (bits_ == 0 && now - codeEnd_ < kTurnaroundUs) spoiled_ = true;
  if (bits_ > 0 && high < kMinPhaseUs) spoiled_ = true;
  if (bits_ >= 12) return;
  bitBefore_ = driving_ ? bitNow_ : 1;
  bitNow_ = spoiled_ ? 1 : static_cast<int>((reply_ >> (11 - bits_)) & 1);
  bitEdge_ = now;
  driving_ = true;
  ++bits_;
}

void GpioModel::clockRose(int64_t now) {
  const int64_t low = now - lastFall_;
  lastRise_ = now;
  if (phase_ == Phase::kReceive) {
    if (bits_ > 0 && low < kMinPhaseUs) spoiled_ = true;
    return;
  }
  if (bits_ > 0 && low < kMinPhaseUs) spoiled_ = true;
  if (bits_ < 12) return;
  // The last bit was read: the line is let go and the exchange is over.
  if (spoiled_) panel_.noteTimingFault();
  panel_.noteExchange(code_, spoiled_ ? 0xFFF : reply_);
  restartFrame();
}
