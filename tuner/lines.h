// Line splitting and number scanning shared by the readers of the unit's configuration files.
#pragma once
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/optset.h"

namespace tuner_detail {

// Calls f(char* line, int lineNo) for every line of text, with the trailing "\n" and then "\r"
// removed, in a buffer of bufSize bytes like the unit's line buffer. A longer line is no row the
// format allows: it is refused (counted in `complaints`) instead of spilling its tail into a
// phantom next line. A line holding a NUL byte is no text: refused as well.
template <class F>
void forEachLine(const std::string& text, size_t bufSize, LineComplaints& complaints, F f) {
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

// Size limit of the configuration and memory files (far above any real one).
inline constexpr size_t kMaxFileBytes = 4u << 20;

// Reads the file at absPath (already under the root) for the readers above. A file larger than
// the limit is logged and cut after its last whole line within the limit, so a line torn by the
// cut is never read as data. False when the file cannot be opened.
// Only a regular file is read (a FIFO in its place never blocks); anything else but a missing file
// is logged with its reason.
inline bool readUnitFile(const std::string& absPath, std::string& out, const char* file) {
  if (!readWholeFile(absPath, out, kMaxFileBytes + 1)) {
    if (errno != ENOENT) klog(LOG_ERR, "%s: %s, not read", file, fileErrorText(errno));
    return false;
  }
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

// Strict field scanners for the rows of the configuration files: a field runs to the next blank;
// Missing at the end of the line (the format lets trailing fields out, they read as 0), Bad when
// the field is not wholly a number of its kind or lies outside lo..hi.
enum class Field { Missing, Ok, Bad };

inline bool skipBlanks(const char*& p) {
  while (*p == ' ' || *p == '\t') ++p;
  return *p != '\0';
}
inline bool fieldEnds(const char* e) { return *e == '\0' || *e == ' ' || *e == '\t'; }

// Unsigned, base auto-detected ("0x" hex, leading-0 octal), within 32 bits, no sign.
inline Field nextU32(const char*& p, uint32_t& v) {
  v = 0;
  if (!skipBlanks(p)) return Field::Missing;
  if (*p == '-' || *p == '+') return Field::Bad;
  char* e;
  errno = 0;
  unsigned long long x = strtoull(p, &e, 0);
  if (e == p || !fieldEnds(e) || errno == ERANGE || x > 0xFFFFFFFFull) return Field::Bad;
  p = e;
  v = static_cast<uint32_t>(x);
  return Field::Ok;
}
inline Field nextLong(const char*& p, long& v, long lo, long hi) {
  v = 0;
  if (!skipBlanks(p)) return Field::Missing;
  char* e;
  errno = 0;
  long x = strtol(p, &e, 10);
  if (e == p || !fieldEnds(e) || errno == ERANGE || x < lo || x > hi) return Field::Bad;
  p = e;
  v = x;
  return Field::Ok;
}
inline Field nextFloat(const char*& p, float& v, float lo, float hi) {
  v = 0;
  if (!skipBlanks(p)) return Field::Missing;
  char* e;
  float x = strtof(p, &e);
  if (e == p || !fieldEnds(e) || !std::isfinite(x) || x < lo || x > hi) return Field::Bad;
  p = e;
  v = x;
  return Field::Ok;
}
// Whether the rest of a row holds anything but blanks (a field too many).
inline bool moreFields(const char* p) { return skipBlanks(p); }

}  // namespace tuner_detail
