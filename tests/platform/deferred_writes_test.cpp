// The deferred file writer: order kept, the caller never waits for a slow write, nothing lost at the end.
#include "platform/deferred_writes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(DeferredWrites, RunsInOrderOffTheCallerAndFinishesEverythingHandedOver) {
  std::vector<int> done;
  std::mutex doneMut;
  std::atomic<bool> release{false};
  {
    DeferredWrites writer;
    // A write that waits (a remount that hangs) must not hold the thread that handed it over.
    writer.post([&] {
      while (!release) std::this_thread::yield();
      std::lock_guard<std::mutex> lk(doneMut);
      done.push_back(0);
    });
    for (int i = 1; i <= 50; ++i)
      writer.post([&, i] {
        std::lock_guard<std::mutex> lk(doneMut);
        done.push_back(i);
      });
    {
      std::lock_guard<std::mutex> lk(doneMut);
      EXPECT_TRUE(done.empty());  // post returned while the first write still waits
    }
    release = true;
    writer.flush();
    {
      std::lock_guard<std::mutex> lk(doneMut);
      ASSERT_EQ(done.size(), 51u);
      for (int i = 0; i <= 50; ++i) EXPECT_EQ(done[static_cast<size_t>(i)], i);
    }
    for (int i = 51; i <= 60; ++i)
      writer.post([&, i] {
        std::lock_guard<std::mutex> lk(doneMut);
        done.push_back(i);
      });
  }  // the writer goes: what was handed over is written first
  EXPECT_EQ(done.size(), 61u);
  EXPECT_EQ(done.back(), 60);
  // Without a writer the write runs at once.
  int ran = 0;
  RunFileWrite(nullptr, [&] { ran = 1; });
  EXPECT_EQ(ran, 1);
}

}  // namespace
