// The processor's GPIO register block: the mapped /dev/mem window on the unit, a model of it elsewhere.
#pragma once
#include <cstdint>
#include <memory>

class MonotonicClock;

// Word offsets of the BCM2835-style registers the program uses (pins 0 to 31 only).
constexpr int kGpFsel0 = 0;                 // function select, 3 bits a pin, 10 pins a word (words 0 to 5)
constexpr int kGpSet0 = 7;                  // write 1s: drive those outputs high
constexpr int kGpClr0 = 10;                 // write 1s: drive those outputs low
constexpr int kGpLev0 = 13;                 // read: the level of every pin
constexpr int kGpPud = 37;                  // pull-up/down code latched by the next clock write: 0 off, 1 down, 2 up
constexpr int kGpPudClk0 = 38;              // write 1s: apply kGpPud to those pins
constexpr int kGpBlockWords = 1024;         // the 4096-byte window
constexpr uint32_t kGpioBase = 0x3F200000;  // physical address of the block on the Pi 2 and 3
constexpr int kFselInput = 0, kFselOutput = 1;

// Register access: reads and writes of 32-bit words, each one bus access on the unit.
class GpioBlock {
 public:
  virtual ~GpioBlock() = default;
  virtual uint32_t read(int word) = 0;
  virtual void write(int word, uint32_t value) = 0;
};

// What opening the block came to; a failure names the step and the program's exit status.
struct GpioOpen {
  std::unique_ptr<GpioBlock> block;
  enum Failure { kNone, kOpen, kMap } failure = kNone;
};

// The root's /dev/mem decides: a character device is the processor's memory and the block is
// mapped from it at kGpioBase; a regular file stands for a board without one, and the block is the
// register model, its keys and peripheral driven through <root>/sim/gpio_panel. Nothing outside
// this seam asks which of the two it got.
GpioOpen openGpioBlock(MonotonicClock& clock);
