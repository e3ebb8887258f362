// System log and trace output shared by every thread.
#include "platform/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {
std::mutex g_logMut;
FILE* g_mirror = nullptr;
LogCapture g_capture;
}  // namespace

void setLogMirror(const std::string& path) {
  std::lock_guard<std::mutex> lk(g_logMut);
  if (g_mirror) fclose(g_mirror);
  g_mirror = path.empty() ? nullptr : fopen(path.c_str(), "a");
  if (g_mirror) setvbuf(g_mirror, nullptr, _IOLBF, 0);
}

void setLogCapture(LogCapture hook) {
  std::lock_guard<std::mutex> lk(g_logMut);
  g_capture = std::move(hook);
}

// Fuzz builds run the parsers millions of times: a log line per input would be most of the work.
#ifdef KORVANE_QUIET_LOG
constexpr bool kQuiet = true;
#else
constexpr bool kQuiet = false;
#endif

void klog(int level, const char* fmt, ...) {
  if (kQuiet) {
    // Only a target that watches the lines (it tells refusals by them) still gets them.
    std::lock_guard<std::mutex> lk(g_logMut);
    if (!g_capture) return;
  }
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (!kQuiet) syslog(level, "%s", buf);
  // The unit's messages often end in a newline meant for a terminal; one line per entry here.
  size_t len = strlen(buf);
  while (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
  std::lock_guard<std::mutex> lk(g_logMut);
  if (g_mirror) fprintf(g_mirror, "<%d> %s\n", level, buf);
  if (g_capture) g_capture(level, buf);
}

void ktrace(const char* fmt, ...) {
  if (kQuiet) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

void LineComplaints::refuse(int lineNo, const char* fmt, ...) {
  if (refused_++ >= detailed_) return;
  char why[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(why, sizeof why, fmt, ap);
  va_end(ap);
  klog(LOG_ERR, "%s: line %d: %s", file_, lineNo, why);
}

void LineComplaints::summary(const char* what) {
  if (refused_ == 0) return;
  klog(LOG_ERR, "%s: %d lines refused%s%s%s", file_, refused_, refused_ > detailed_ ? " (the first ones logged)" : "",
       what ? ", " : "", what ? what : "");
}
