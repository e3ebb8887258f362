// The writer thread behind DeferredWrites.
#include "platform/deferred_writes.h"

DeferredWrites::DeferredWrites() : worker_([this] { run(); }) {}

DeferredWrites::~DeferredWrites() {
  {
    std::lock_guard<std::mutex> lk(mut_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void DeferredWrites::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lk(mut_);
    jobs_.push_back(std::move(job));
    ++posted_;
  }
  wake_.notify_one();
}

void DeferredWrites::flush() {
  std::unique_lock<std::mutex> lk(mut_);
  const unsigned long long target = posted_;
  done_.wait(lk, [&] { return finished_ >= target; });
}

void DeferredWrites::run() {
  std::unique_lock<std::mutex> lk(mut_);
  for (;;) {
    wake_.wait(lk, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing is left to write
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lk.unlock();
    job();
    lk.lock();
    ++finished_;
    done_.notify_all();
  }
}
