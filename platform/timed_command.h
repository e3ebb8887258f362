// Helper commands that may hang or never stop printing: run with a time limit and a bound on output.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>

struct TimedCommand {
  enum Outcome {
    kExited,     // ended by itself; status holds its exit status (or 128 + signal)
    kCut,        // printed all the caller needed (or the byte bound) and was stopped there
    kTimedOut,   // still running at the limit: stopped, its output so far kept
    kCancelled,  // the caller's cancel flag rose: stopped
    kNotStarted,
  };
  Outcome outcome = kNotStarted;
  int status = -1;
  std::string out;
};

// Runs cmd through /bin/sh in a process group of its own, with standard input and error on
// /dev/null, collecting at most maxBytes of standard output. Reading stops at end of output, when
// enough(out) holds, at maxBytes, at the limit or when *cancel becomes true; whatever is still
// running of the group is then killed and reaped. The call never takes much longer than the limit.
TimedCommand runCommandTimed(const std::string& cmd, std::chrono::milliseconds limit, size_t maxBytes,
                             const std::function<bool(const std::string&)>& enough = nullptr,
                             const std::atomic<bool>* cancel = nullptr);
