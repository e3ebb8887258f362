// Key scanner against the register model: debounce, chords, taps, long presses and repeats.
#include <gtest/gtest.h>

#include "tests/amp_gpio/gpio_rig.h"

using gpiotest::KeyEvent;
using gpiotest::Rig;

namespace {

struct Hold {
  uint32_t keys;  // bit n - 1 for key n
  int ms;
};
struct Expect {
  int key, mask;
  int64_t fromMs, toMs;  // when it may come, counted from the first step
};
struct Scenario {
  const char* name;
  std::vector<Hold> steps;
  std::vector<Expect> events;
  double longPress = 0.5;
  int repeat = 0;
};

// Times: a level is accepted on the 6th pass that sees it (10 to 12 ms), a pass lasts 2 ms, and
// every ~400 ms a pass carries a 10.2 ms exchange.
const Scenario kScenarios[] = {
    {"tap gives one event on release", {{0b000100, 100}, {0, 100}}, {{3, 0, 108, 126}}},
    {"press shorter than the debounce is ignored", {{0b000010, 8}, {0, 200}}, {}},
    {"bounces keep their count: two short glitches make a press",
     {{0b10, 8}, {0, 50}, {0b10, 8}, {0, 200}},
     {{2, 0, 74, 92}}},
    {"second key waits while the first is down, then is taken",
     {{0b01, 50}, {0b11, 100}, {0b10, 150}, {0, 100}},
     {{1, 0, 158, 176}, {2, 0, 308, 326}}},
    {"second key let go before the first gives nothing",
     {{0b01, 50}, {0b11, 100}, {0b01, 50}, {0, 100}},
     {{1, 0, 208, 226}}},
    {"all six at once: only key 1", {{0x3F, 100}, {0, 100}}, {{1, 0, 108, 126}}},
    {"all six, key 1 let go first: then key 2",
     {{0x3F, 100}, {0x3E, 100}, {0, 100}},
     {{1, 0, 108, 126}, {2, 0, 208, 226}}},
    {"long press without repeat: one event, nothing on release", {{0b1000, 2000}, {0, 100}}, {{4, 0b1000, 508, 526}}},
    {"just under the long press is a short press", {{0b1000, 480}, {0, 100}}, {{4, 0, 488, 506}}},
    {"long press time of 1.5 s", {{0b100000, 2000}, {0, 100}}, {{6, 0b100000, 1508, 1526}}, 1.5},
    {"long press time of 0.1 s", {{0b010000, 150}, {0, 100}}, {{5, 0b010000, 108, 126}}, 0.1},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class KeyScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(KeyScenario, EventsAndTimes) {
  const Scenario& sc = GetParam();
  Rig rig;
  TIME_LONG_PRESS = sc.longPress;  // after the record's defaults
  rig.repeatAnswer = sc.repeat;
  rig.runMs(50);  // the start-up exchanges and the first passes
  ASSERT_TRUE(rig.events.empty()) << "no event at start";
  const int64_t t0 = rig.elapsedMs();
  for (const Hold& h : sc.steps) {
    rig.hold(h.keys);
    rig.runMs(h.ms);
  }
  TIME_LONG_PRESS = 0.5;
  ASSERT_EQ(rig.events.size(), sc.events.size()) << sc.name;
  for (size_t i = 0; i < sc.events.size(); ++i) {
    const KeyEvent& got = rig.events[i];
    const Expect& e = sc.events[i];
    EXPECT_EQ(got.key, e.key) << sc.name << " event " << i;
    EXPECT_EQ(got.mask, e.mask) << sc.name << " event " << i;
    EXPECT_GE(got.atMs - t0, e.fromMs) << sc.name << " event " << i;
    EXPECT_LE(got.atMs - t0, e.toMs) << sc.name << " event " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyScenario, ::testing::ValuesIn(kScenarios), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

// Held with the dispatch asking for repeats: the long press, 14 repeats 0.1 s apart, then every
// 0.02 s; letting go adds no short press.
TEST(KeyRepeat, LongPressThenFourteenSlowThenFast) {
  Rig rig;
  rig.repeatAnswer = 1;
  rig.runMs(50);
  rig.hold(0b000010);
  rig.runMs(2500);
  rig.hold(0);
  rig.runMs(100);
  ASSERT_GT(rig.events.size(), 40u);
  for (const KeyEvent& e : rig.events) {
    EXPECT_EQ(e.key, 2);
    EXPECT_EQ(e.mask, 0b10) << "a repeat carries the held key's bit";
  }
  // Intervals: an event comes on the first pass past its delay; a pass is 2 ms and may carry a
  // 10.2 ms exchange.
  for (size_t i = 1; i < rig.events.size(); ++i) {
    const int64_t dt = rig.events[i].atMs - rig.events[i - 1].atMs;
    const int64_t base = i <= 14 ? 100 : 20;
    EXPECT_GE(dt, base) << "interval " << i;
    EXPECT_LE(dt, base + 13) << "interval " << i;
  }
  // The last event comes no later than the release is accepted.
  EXPECT_LE(rig.events.back().atMs, rig.elapsedMs() - 80);
}

// A key held for minutes: repeats keep coming at the fast rate, nothing overflows, and the key
// gives nothing once let go; without repeat it gives one event for the whole hold.
TEST(KeyRepeat, HeldForMinutes) {
  for (int repeat : {1, 0}) {
    Rig rig;
    rig.repeatAnswer = repeat;
    rig.runMs(50);
    rig.hold(0b100000);
    rig.runMs(5 * 60 * 1000);
    rig.hold(0);
    rig.runMs(100);
    if (!repeat) {
      ASSERT_EQ(rig.events.size(), 1u);
      EXPECT_EQ(rig.events[0], (KeyEvent{6, 0b100000, rig.events[0].atMs}));
      continue;
    }
    // 0.5 s + 14 x 0.1 s, then one event every 22 ms (or more with an exchange): ~13 000.
    EXPECT_GT(rig.events.size(), 11000u);
    EXPECT_LT(rig.events.size(), 14000u);
    const int64_t lastGap = rig.events.back().atMs - rig.events[rig.events.size() - 2].atMs;
    EXPECT_LE(lastGap, 33);
  }
}

// Long presses are timed on the clock, not counted in passes: on a loaded machine whose passes
// take 20 ms the long press still comes after 0.5 s, and so does a tap's short press.
TEST(KeyTiming, LongPressFollowsTheClockNotThePasses) {
  Rig rig;
  rig.runMs(50);
  rig.hold(0b1);
  const int64_t t0 = rig.elapsedMs();
  for (int i = 0; i < 60; ++i) {
    gpioPass(rig.w.get(), rig.scanner);
    rig.clock.sleepUs(20000);
  }
  ASSERT_EQ(rig.events.size(), 1u);
  EXPECT_EQ(rig.events[0].mask, 1);
  // Accepted on the 6th pass (100 ms in), long press 0.5 s later.
  EXPECT_GE(rig.events[0].atMs - t0, 600);
  EXPECT_LE(rig.events[0].atMs - t0, 650);
}

// Bit 0 of msgFlags warns 0.15 s before the long press; the dispatch clears it.
TEST(KeyTiming, SecondFunctionMessageComesJustBeforeTheLongPress) {
  Rig rig;
  rig.runMs(50);
  rig.hold(0b100);
  rig.runMs(330);  // accepted at ~12 ms: 0.32 s into the press
  EXPECT_EQ(rig.w->msgFlags & kMsgSecondFunction, 0);
  rig.runMs(40);
  EXPECT_EQ(rig.w->msgFlags & kMsgSecondFunction, kMsgSecondFunction);
  EXPECT_TRUE(rig.events.empty());
  rig.runMs(200);
  ASSERT_EQ(rig.events.size(), 1u);
  EXPECT_EQ(rig.w->msgFlags & kMsgSecondFunction, 0) << "cleared by the dispatch of the long press";
  rig.hold(0);
  rig.runMs(50);
  EXPECT_EQ(rig.w->msgFlags & kMsgSecondFunction, 0);
}

// Without a dispatch installed the scanner runs on and sends nothing anywhere.
TEST(KeyTiming, NoDispatchInstalled) {
  Rig rig;
  rig.w->hooks.keyEvent = nullptr;
  rig.hold(0b1);
  rig.runMs(1000);
  rig.hold(0);
  rig.runMs(100);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_EQ(rig.panel().pressesSeen(1), 1u);
}

}  // namespace
