// Number scanning shared by the readers of the tuner's tables (the line splitting and the size rule
// are platform/config_file.h).
#pragma once
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/config_file.h"
#include "platform/log.h"

namespace tuner_detail {

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
