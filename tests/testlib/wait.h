// Test helpers: waiting for a condition, and the traffic of the micro without its polls.
#pragma once
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
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

// Runs f on a thread of its own and waits at most `limit` for it to return. When it does not,
// unstick() is called (say, to kill the process it waits for) so the thread can be joined, and the
// answer is false: a hang becomes a failure instead of a stuck test.
inline bool returnsWithin(const std::function<void()>& f, std::chrono::milliseconds limit,
                          const std::function<void()>& unstick) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    f();
    done = true;
  });
  const bool ok = waitUntil([&] { return done.load(); }, limit);
  if (!ok) unstick();
  t.join();
  return ok;
}

// The pid a stand-in wrote into a file (echo $$ > file), 0 when there is none.
inline pid_t pidFromFile(const std::string& path) {
  std::ifstream f(path);
  long pid = 0;
  f >> pid;
  return pid > 1 ? static_cast<pid_t>(pid) : 0;
}

// The process has ended: no such process, or a zombie nobody has reaped yet.
inline bool processGone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

// The commands a micro received, without the status polls and frequency reads between them.
inline std::vector<std::string> withoutPolls(const std::vector<std::string>& received) {
  std::vector<std::string> out;
  for (const auto& c : received)
    if (c != "ST;" && c != "FM;") out.push_back(c);
  return out;
}

}  // namespace testlib
