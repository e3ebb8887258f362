// System log and trace output, with a mirror file and a capture hook for the simulated unit and tests.
#pragma once
#include <syslog.h>
#include <functional>
#include <string>

// Logs to syslog at `level` (LOG_ERR or LOG_INFO), and to the mirror file and capture hook when set.
void klog(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Traces for standard error, as the unit prints them.
void ktrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Mirror every log line to a file ("<level> <message>" per line); empty path stops mirroring.
void setLogMirror(const std::string& path);

// Tests see every log line through this hook (nullptr to remove).
using LogCapture = std::function<void(int level, const std::string& msg)>;
void setLogCapture(LogCapture hook);

// Complaints about the lines of one file: the first few are logged in full, the rest only counted,
// and summary() logs how many lines were refused in all. A damaged or binary file thus gives a
// handful of log lines, never one per line.
class LineComplaints {
 public:
  explicit LineComplaints(const char* file, int detailed = 5) : file_(file), detailed_(detailed) {}
  // Counts a refused line; logs "<file>: line <n>: <why>" while under the limit.
  void refuse(int lineNo, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  int refused() const { return refused_; }
  // "<file>: <n> lines refused" when any were (after `what`, e.g. "12 rows kept").
  void summary(const char* what = nullptr);

 private:
  const char* file_;
  int detailed_;
  int refused_ = 0;
};
