// System log and trace output, with a mirror file and a capture hook for the simulated unit and tests.
#pragma once
#include <functional>
#include <string>
#include <syslog.h>

// Logs to syslog at `level` (LOG_ERR or LOG_INFO), and to the mirror file and capture hook when set.
void klog(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Traces for standard error, as the unit prints them.
void ktrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Mirror every log line to a file ("<level> <message>" per line); empty path stops mirroring.
void setLogMirror(const std::string& path);

// Tests see every log line through this hook (nullptr to remove).
using LogCapture = std::function<void(int level, const std::string& msg)>;
void setLogCapture(LogCapture hook);
