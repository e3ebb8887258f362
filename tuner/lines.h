// Line splitting and number scanning shared by the readers of the unit's configuration files.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/optset.h"

namespace tuner_detail {

// Calls f(char* line, int lineNo) for every line of text, with the trailing "\n" and then "\r"
// removed, in a buffer of bufSize bytes like the unit's line buffer. A longer line is cut to
// the buffer (logged once per line) instead of spilling its tail into a phantom next line.
template <class F>
void forEachLine(const std::string& text, size_t bufSize, const char* file, F f) {
  char buf[1024];
  if (bufSize > sizeof buf) bufSize = sizeof buf;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = (nl == std::string::npos) ? text.size() : nl;
    size_t len = end - pos;
    ++lineNo;
    if (len > bufSize - 1) {
      klog(LOG_ERR, "%s: line %d longer than %zu characters, cut", file, lineNo, bufSize - 1);
      len = bufSize - 1;
    }
    memcpy(buf, text.data() + pos, len);
    buf[len] = '\0';
    len = strlen(buf);  // a NUL byte inside the line ends it
    if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
    f(buf, lineNo);
    pos = (nl == std::string::npos) ? text.size() : nl + 1;
  }
}

// Size limit of the configuration and memory files (far above any real one).
inline constexpr size_t kMaxFileBytes = 4u << 20;

// Reads the file at absPath (already under the root) for the readers above. A file larger than
// the limit is logged and cut after its last whole line within the limit, so a line torn by the
// cut is never read as data. False when the file cannot be opened.
inline bool readUnitFile(const std::string& absPath, std::string& out, const char* file) {
  if (!readWholeFile(absPath, out, kMaxFileBytes + 1)) return false;
  if (out.size() > kMaxFileBytes) {
    out.resize(kMaxFileBytes);
    size_t nl = out.rfind('\n');
    out.resize(nl == std::string::npos ? 0 : nl + 1);
    klog(LOG_ERR, "%s: larger than %zu bytes, only its first %zu bytes are read", file, kMaxFileBytes, out.size());
  }
  return true;
}

inline bool isBlankLine(const char* s) {
  for (; *s; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r') return false;
  return true;
}

// The unit's field scanners: each continues where the previous number ended; a field that is
// not a number reads as 0 and does not move the position.
inline uint32_t scanU32Auto(const char*& p) {
  char* e;
  unsigned long v = strtoul(p, &e, 0);
  p = e;
  return static_cast<uint32_t>(v);
}
inline long scanLong(const char*& p, bool* ok = nullptr) {
  char* e;
  long v = strtol(p, &e, 10);
  if (ok) *ok = (e != p);
  p = e;
  return v;
}
inline float scanFloat(const char*& p) {
  char* e;
  float v = strtof(p, &e);
  p = e;
  return v;
}

}  // namespace tuner_detail
