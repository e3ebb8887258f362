// Reading the unit's configuration files: one size rule and one line splitter for every reader
// (setup file, fan table, calibration, filter and band tables, tune memories).
#pragma once
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/log.h"

// Far above any real configuration file; a larger one is cut after its last whole line.
inline constexpr size_t kConfigFileMaxBytes = 4u << 20;

// Reads the file at absPath (already under the root). Only a regular file is read (a FIFO in its
// place never blocks); a file larger than the limit is logged and cut after its last whole line
// within it, so a line torn by the cut is never read as data. False when there is nothing to read:
// anything but a missing file is logged with its reason, labelled `file`, and errno is kept.
bool readConfigFile(const std::string& absPath, std::string& out, const char* file);

// Calls f(char* line, int lineNo) for every line of text, with the trailing "\n" and then "\r"
// removed, in a buffer of bufSize bytes like the unit's line buffer. A longer line is no row the
// format allows: it is refused (counted in `complaints`) instead of spilling its tail into a
// phantom next line. A line holding a NUL byte is no text: refused as well.
template <class F>
void forEachConfigLine(const std::string& text, size_t bufSize, LineComplaints& complaints, F f) {
  char buf[1024];
  if (bufSize > sizeof buf) bufSize = sizeof buf;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = (nl == std::string::npos) ? text.size() : nl;
    size_t len = end - pos;
    ++lineNo;
    const size_t next = (nl == std::string::npos) ? text.size() : nl + 1;
    if (len > bufSize - 1) {
      complaints.refuse(lineNo, "longer than %zu characters", bufSize - 1);
      pos = next;
      continue;
    }
    memcpy(buf, text.data() + pos, len);
    buf[len] = '\0';
    pos = next;
    if (strlen(buf) != len) {
      complaints.refuse(lineNo, "holds a NUL byte");
      continue;
    }
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    f(buf, lineNo);
  }
}
