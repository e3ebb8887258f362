// Test helpers: waiting for a condition, and the traffic of the micro without its polls.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testlib {

// Polls cond every 5 ms until it holds or the limit passes; the last answer of cond.
inline bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

// The commands a micro received, without the status polls and frequency reads between them.
inline std::vector<std::string> withoutPolls(const std::vector<std::string>& received) {
  std::vector<std::string> out;
  for (const auto& c : received)
    if (c != "ST;" && c != "FM;") out.push_back(c);
  return out;
}

}  // namespace testlib
