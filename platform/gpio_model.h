// A model of the GPIO register block with the front panel's six keys and its serial peripheral.
#pragma once
#include <cstdint>
#include <string>

#include "platform/gpio_block.h"
#include "platform/gpio_panel.h"

// Registers: function select, set, clear, level, pull-up/down and its clock, as the processor
// has them after reset (pins 0 to 8 pulled up, the rest pulled down). Keys 1 to 6 are on pins 22
// to 27 and pull their pin low while held; an input left without its pull-up reads low, like a
// held key. The peripheral on pins 4 (data) and 6 (clock) takes an 8-bit code, most significant
// bit first, on the falling clock edges while pin 4 is an output, and after a turnaround answers
// with 12 bits, one after each falling edge while pin 4 is an input. It is a slow part: a clock
// phase or a data set-up under 150 us, or under 700 us from the code's last bit to the answer's
// first edge, spoils the exchange (the line then stays high) and is counted; a bit it presents is
// valid 100 us after its edge. A code left half sent for 0.2 s (a stalled thread, not a slow one)
// is dropped, so the next one starts clean.
class GpioModel final : public GpioBlock {
 public:
  static constexpr int kKeyPin0 = 22, kDataPin = 4, kClockPin = 6;
  static constexpr int64_t kMinPhaseUs = 150, kTurnaroundUs = 700, kBitValidUs = 100, kFrameTimeoutUs = 200000;

  // panelPath empty: no outside control, every key up and every reply 0.
  GpioModel(MonotonicClock& clock, const std::string& panelPath);

  uint32_t read(int word) override;
  void write(int word, uint32_t value) override;

  GpioPanel& panel() { return panel_; }

 private:
  int function(int pin) const { return static_cast<int>((fsel_[pin / 10] >> ((pin % 10) * 3)) & 7); }
  bool isOutput(int pin) const { return function(pin) == kFselOutput; }
  bool pulledUp(int pin) const { return (pullUp_ >> pin) & 1; }
  uint32_t levels(int64_t now) const;
  void setLatches(uint32_t newLatch);
  void clockFell(int64_t now);
  void clockRose(int64_t now);
  void restartFrame();

  MonotonicClock& clock_;
  GpioPanel panel_;
  uint32_t fsel_[6]{};
  uint32_t latch_ = 0;
  uint32_t pud_ = 0;
  uint32_t pullUp_ = 0x1FF;
  uint32_t keysReadDown_ = 0;

  // Peripheral.
  enum class Phase { kReceive, kReply } phase_ = Phase::kReceive;
  int bits_ = 0;
  uint32_t shift_ = 0;
  uint32_t code_ = 0, reply_ = 0;
  bool spoiled_ = false;
  bool driving_ = false;
  int bitNow_ = 1, bitBefore_ = 1;
  int64_t lastFall_ = 0, lastRise_ = 0, lastDataChange_ = 0, codeEnd_ = 0, bitEdge_ = 0;
};
