// Command queue tests: the 29-entry bound, order, and appends from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "amp/link.h"
#include "core/works.h"
#include "tests/testlib/temp_root.h"

namespace {

TEST(CmdQueue, TwentyNineFitTheThirtiethIsRefusedAndNothingIsLost) {
  testlib::TestWorks tw;
  testlib::LogCapture log;
  const int states[] = {LIN_SA, LIN_FA, LIN_MP0, LIN_CP};
  // Start mid-ring so the bound is checked across the wrap as well.
  for (int i = 0; i < 17; ++i) IncPNTIn_CMDLinear(LIN_FM, tw.get());
  for (int i = 0; i < 17; ++i) PopCMDLinear(tw.get());
  for (int i = 0; i < kCmdQueueMaxPending; ++i) EXPECT_EQ(IncPNTIn_CMDLinear(states[i % 4], tw.get()), states[i % 4]);
  EXPECT_EQ(PendingCMDLinear(tw.get()), 29);
  EXPECT_EQ(IncPNTIn_CMDLinear(LIN_TS, tw.get()), -1);
  EXPECT_TRUE(log.contains("command queue full"));
  EXPECT_EQ(PendingCMDLinear(tw.get()), 29);
  for (int i = 0; i < kCmdQueueMaxPending; ++i) EXPECT_EQ(PopCMDLinear(tw.get()), states[i % 4]) << i;
  EXPECT_EQ(PopCMDLinear(tw.get()), -1);
}

TEST(CmdQueue, StatesWithoutACommandAreRefused) {
  testlib::TestWorks tw;
  testlib::LogCapture log;
  for (int s : {-1, int(LIN_WAIT), int(LIN_DECODE), 4, 25, int(LIN_IDLE), 41, 1000})
    EXPECT_EQ(IncPNTIn_CMDLinear(s, tw.get()), -1) << s;
  EXPECT_EQ(PendingCMDLinear(tw.get()), 0);
  EXPECT_TRUE(log.contains("refused"));
}

TEST(CmdQueue, ConcurrentAppendsLoseAndDuplicateNothing) {
  testlib::TestWorks tw;
  Works* w = tw.get();
  constexpr int kPerThread = 2000;
  const int states[4] = {LIN_SA, LIN_FA, LIN_MP0, LIN_CP};
  std::atomic<int> producersDone{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        while (PendingCMDLinear(w) >= kCmdQueueMaxPending) std::this_thread::yield();
        while (IncPNTIn_CMDLinear(states[t], w) < 0) std::this_thread::yield();  // full after all: again
      }
      producersDone++;
    });
  }
  std::map<int, int> got;
  int total = 0;
  while (producersDone < 4 || PendingCMDLinear(w) > 0) {
    int s = PopCMDLinear(w);
    if (s < 0) {
      std::this_thread::yield();
      continue;
    }
    got[s]++;
    total++;
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(total, 4 * kPerThread);
  for (int s : states) EXPECT_EQ(got[s], kPerThread) << s;
  EXPECT_EQ(got.size(), 4u);
}

}  // namespace
