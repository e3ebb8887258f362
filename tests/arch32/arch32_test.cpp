// Sizes and layouts that differ between the 64-bit PC and the 32-bit board. Each case runs on both;
// the cross build's suite runs them on the board's layout under emulation.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <sys/types.h>
#include <climits>
#include <cstddef>
#include <ctime>

#include "platform/timing.h"

TEST(WordSize, TimeAndOffsetsAre64BitsOnEveryBoard) {
  // Without 64-bit time the date text, idle time and log stamps wrap in January 2038; without
  // 64-bit offsets a file past 2 GiB cannot be sized.
  EXPECT_EQ(sizeof(time_t), 8u);
  EXPECT_EQ(sizeof(off_t), 8u);
  EXPECT_EQ(sizeof(timespec{}.tv_sec), 8u);
}

TEST(WordSize, InputEventKeepsTheKernelLayout) {
  // The kernel writes two longs of time then type, code and value: 16 bytes on the board, 24 on a
  // 64-bit PC. 64-bit time in our code must not widen the record read from /dev/input.
  EXPECT_EQ(sizeof(input_event), 2 * sizeof(long) + 8);
  EXPECT_EQ(offsetof(input_event, type), 2 * sizeof(long));
  EXPECT_EQ(offsetof(input_event, code), 2 * sizeof(long) + 2);
  EXPECT_EQ(offsetof(input_event, value), 2 * sizeof(long) + 4);
  if (sizeof(long) == 4) {
    EXPECT_EQ(sizeof(input_event), 16u);
  }
}

TEST(WordSize, LongDurationsDoNotWrap) {
  // Microsecond counts past 2^31 (36 minutes) overflow a 32-bit long.
  const struct {
    long long us;
    long long sec;
    long nsec;
  } cases[] = {
      {0, 0, 0},
      {999'999, 0, 999'999'000},
      {2'147'483'648LL, 2'147, 483'648'000},
      {3'600'000'000LL, 3'600, 0},
      {86'400'000'000LL * 400 + 7, 86'400LL * 400, 7'000},
      {-5, 0, 0},
  };
  for (const auto& c : cases) {
    timespec ts = timespecFromUs(c.us);
    EXPECT_EQ(static_cast<long long>(ts.tv_sec), c.sec) << c.us;
    EXPECT_EQ(ts.tv_nsec, c.nsec) << c.us;
  }
}

TEST(WallClock, ShiftedPast2038) {
  // The test clock reaches past the 32-bit limit and keeps counting there (compared in 64 bits, so a
  // wrapped clock cannot pass).
  const long long target = 2147483647LL + 3600;
  shiftWallClock(static_cast<time_t>(target - static_cast<long long>(time(nullptr))));
  const long long now = wallClockNow();
  shiftWallClock(0);
  EXPECT_GE(now, target);
  EXPECT_LT(now, target + 60);
}
