// File writes run in the order they were handed over, on a thread of their own, so that the thread
// handing them over (the amplifier link) never waits on a remount or an fsync.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class DeferredWrites {
 public:
  DeferredWrites();
  // Everything handed over is written before the writer goes.
  ~DeferredWrites();
  DeferredWrites(const DeferredWrites&) = delete;
  DeferredWrites& operator=(const DeferredWrites&) = delete;

  // The job must carry everything it writes (text, file name): it runs later, on the writer.
  void post(std::function<void()> job);
  // Returns once every job handed over before the call has run.
  void flush();

 private:
  void run();
  std::mutex mut_;
  std::condition_variable wake_, done_;
  std::deque<std::function<void()>> jobs_;
  unsigned long long posted_ = 0, finished_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};

// Hands a write to `writer`, or runs it at once when there is none (tools and most tests).
inline void RunFileWrite(DeferredWrites* writer, std::function<void()> job) {
  if (writer)
    writer->post(std::move(job));
  else
    job();
}
