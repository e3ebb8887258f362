// The bit-banged exchange and the code sequence against the register model, and the pins' set-up.
#include <gtest/gtest.h>

#include <mutex>

#include "core/housekeeping_fields.h"
#include "tests/amp_gpio/gpio_rig.h"

using gpiotest::Rig;

namespace {

// Records which code each pass sent, from the peripheral's side.
std::vector<std::pair<int, int>> codesSent(Rig& rig, int passes) {
  std::vector<std::pair<int, int>> sent;
  uint32_t seen = rig.panel().exchanges();
  for (int i = 0; i < passes; ++i) {
    rig.pass();
    if (rig.panel().exchanges() != seen) {
      EXPECT_EQ(rig.panel().exchanges(), seen + 1) << "one exchange a pass at most";
      seen = rig.panel().exchanges();
      sent.emplace_back(i, static_cast<int>(rig.panel().lastCode()));
    }
  }
  return sent;
}

// From start: the start code, then 0xB0, 0xD1, 0xD2, 0xD3 each after 200 quiet passes, one interval
// without a code, and the sequence again.
TEST(GpioCodes, SequenceEveryTwoHundredPasses) {
  Rig rig;
  const std::vector<std::pair<int, int>> expected = {{0, 0xB0},   {1, 0xB0},   {202, 0xD1},
                                                     {403, 0xD2}, {604, 0xD3}, {1006, 0xB0}};
  EXPECT_EQ(codesSent(rig, 1100), expected);
  EXPECT_EQ(rig.panel().timingFaults(), 0u);
}

// Each answer's low 8 bits land in the slot of the code's low two bits; slot 3 is the PA voltage.
TEST(GpioCodes, ReadingsLandInTheirSlots) {
  Rig rig;
  rig.panel().setReply(0xB0, 0x123);
  rig.panel().setReply(0xD1, 0x4A5);
  rig.panel().setReply(0xD2, 0x0FF);
  rig.panel().setReply(0xD3, 0xABC);
  for (int i = 0; i < 700; ++i) rig.pass();
  EXPECT_EQ(rig.w->gpioReading[0], 0x23);
  EXPECT_EQ(rig.w->gpioReading[1], 0xA5);
  EXPECT_EQ(rig.w->gpioReading[2], 0xFF);
  EXPECT_EQ(rig.w->gpioReading[3], 0xBC);
  EXPECT_EQ(rig.panel().lastReply(), 0xABCu);
}

// One-off codes (remote on 0x95, remote off 0xA5, hardware off 133) go on the next pass, whatever
// the sequence is doing, and their answers land in slot 1 (all three end in binary 01).
TEST(GpioCodes, OneOffCodesGoOnTheNextPass) {
  struct Case {
    int code, reply, slot;
  } cases[] = {{0x95, 0x077, 1}, {0xA5, 0x3C1, 1}, {133, 0x0AA, 1}};
  for (const Case& c : cases) {
    Rig rig;
    for (int i = 0; i < 50; ++i) rig.pass();  // between two automatic codes
    rig.panel().setReply(c.code, c.reply);
    {
      std::lock_guard<std::mutex> lk(rig.w->gpioMut);
      rig.w->gpioCode = c.code;
    }
    const uint32_t before = rig.panel().exchanges();
    rig.pass();
    EXPECT_EQ(rig.panel().exchanges(), before + 1);
    EXPECT_EQ(static_cast<int>(rig.panel().lastCode()), c.code);
    EXPECT_EQ(rig.w->gpioReading[c.slot], c.reply & 0xFF) << std::hex << c.code;
    EXPECT_EQ(rig.w->gpioCode, kGpioCodeNone);
  }
}

// A code another thread sets while an exchange is on the wire is sent on the next pass, not
// wiped when the exchange ends.
TEST(GpioCodes, CodeSetDuringAnExchangeIsKept) {
  Rig rig;
  rig.pass();  // the start code
  rig.panel().setReply(0x95, 0x055);
  int sleeps = 0;
  rig.clock.onSleep = [&](int64_t) {
    if (++sleeps == 10) {
      std::lock_guard<std::mutex> lk(rig.w->gpioMut);
      rig.w->gpioCode = 0x95;
    }
  };
  rig.pass();  // the automatic 0xB0, during which 0x95 arrives
  rig.clock.onSleep = nullptr;
  EXPECT_EQ(rig.panel().lastCode(), 0xB0u);
  EXPECT_EQ(rig.w->gpioCode, 0x95);
  rig.pass();
  EXPECT_EQ(rig.panel().lastCode(), 0x95u);
  EXPECT_EQ(rig.w->gpioReading[1], 0x55);
}

// The exchange keeps the peripheral's timing: 8 bits of 600 us, a 600 us turnaround and 12 bits
// of 400 us. A part whose waits come short spoils it (the line reads all ones) and the model
// counts it.
TEST(GpioExchange, BitTiming) {
  struct Case {
    double scale;
    int value;
    uint32_t faults;
  } cases[] = {{1.0, 0x5A3, 0}, {1.5, 0x5A3, 0}, {0.8, 0xFFF, 1}, {0.5, 0xFFF, 1}};
  for (const Case& c : cases) {
    Rig rig;
    rig.panel().setReply(0xD3, 0x5A3);
    rig.clock.scale = c.scale;
    const int64_t t0 = rig.clock.nowUs();
    EXPECT_EQ(gpioExchange(rig.model, rig.clock, 0xD3), c.value) << c.scale;
    EXPECT_EQ(rig.clock.nowUs() - t0, static_cast<int64_t>(10200 * c.scale)) << c.scale;
    EXPECT_EQ(rig.panel().timingFaults(), c.faults) << c.scale;
    EXPECT_EQ(rig.panel().exchanges(), 1u) << c.scale;
  }
}

// A code cut off half way (the thread stalled or stopped) is dropped by the peripheral after a
// while, and the next exchange is read right.
TEST(GpioExchange, HalfSentCodeIsDropped) {
  Rig rig;
  rig.panel().setReply(0xD2, 0x0C3);
  for (int bit = 0; bit < 4; ++bit) {
    rig.model.write(kGpSet0, 1u << 6);
    rig.clock.sleepUs(400);
    rig.model.write(kGpClr0, 1u << 6);
    rig.clock.sleepUs(200);
  }
  rig.clock.advance(300000);
  EXPECT_EQ(gpioExchange(rig.model, rig.clock, 0xD2), 0x0C3);
  EXPECT_EQ(rig.panel().timingFaults(), 1u);
}

// Pins after set-up and after a pass: 4, 6, 13, 16 outputs; the keys inputs pulled up (all
// released); 13 low only while a firmware update is armed; 16 and the clock high.
TEST(GpioPins, SetUpAndControlOutputs) {
  Rig rig;
  auto fsel = [&](int pin) { return (rig.model.read(kGpFsel0 + pin / 10) >> ((pin % 10) * 3)) & 7; };
  for (int pin : {4, 6, 13, 16}) EXPECT_EQ(fsel(pin), static_cast<uint32_t>(kFselOutput)) << pin;
  for (int pin = 22; pin <= 27; ++pin) EXPECT_EQ(fsel(pin), static_cast<uint32_t>(kFselInput)) << pin;
  EXPECT_EQ((rig.model.read(kGpLev0) >> 22) & 0x3F, 0x3Fu) << "released keys read high";
  EXPECT_EQ(rig.model.read(kGpPud), 0u);
  for (uint8_t flags : {uint8_t{0}, uint8_t{kUpdFwArmed}, uint8_t{kUpdRemoteArmed}, uint8_t{0}}) {
    rig.w->updateFlags = flags;
    rig.pass();
    const uint32_t out = rig.panel().outputs();
    EXPECT_EQ((out >> 13) & 1, (flags & kUpdFwArmed) ? 0u : 1u) << int(flags);
    EXPECT_EQ((out >> 16) & 1, 1u);
    EXPECT_EQ((out >> 6) & 1, 1u);
  }
}

// The model itself: a key pin without its pull-up reads low, like a held key, so a scanner that
// skipped the pull-ups would see six keys held.
TEST(GpioPins, KeysFloatLowWithoutPullUps) {
  testlib::TestClock clock;
  GpioModel bare(clock, "");
  EXPECT_EQ((bare.read(kGpLev0) >> 22) & 0x3F, 0u);
  bare.write(kGpPud, 2);
  bare.write(kGpPudClk0, 0x3Fu << 22);
  bare.write(kGpPud, 0);
  bare.write(kGpPudClk0, 0);
  EXPECT_EQ((bare.read(kGpLev0) >> 22) & 0x3F, 0x3Fu);
}

}  // namespace
