// Error and warning list: one ordered set of codes shared by every thread, drawn as tiles above the keys.
#include "ui/errors.h"

#include <cstdio>
#include <mutex>

#include "core/works.h"
#include "platform/log.h"
#include "ui/fb.h"
#include "ui/text.h"

namespace {

constexpr int kTileTop = 370;
constexpr int kTileBottom = 415;
constexpr int kTileX0[6] = {5, 133, 266, 399, 532, 665};
constexpr int kTileX1[6] = {130, 263, 396, 529, 662, 795};

bool validCode(int code) { return code >= 0 && code < kNumErrorCodes; }

char hexDigit(int v) { return "0123456789ABCDEF"[v & 0xF]; }

// The helpers below run with errorMut held.
int findLocked(Works* w, int code) {
  int n = w->errorCount.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i)
    if (w->errorList[i] == code) return i;
  return -1;
}

void removeAtLocked(Works* w, int pos) {
  int n = w->errorCount.load(std::memory_order_relaxed);
  int code = w->errorList[pos];
  for (int i = pos; i + 1 < n; ++i) w->errorList[i] = w->errorList[i + 1];
  w->errorList[n - 1] = 0;
  w->errorCount.store(n - 1);
  ktrace("Del ERROR: N: %i err:%i\n", n - 1, code);
}

void deleteLocked(Works* w, int code) {
  int pos = findLocked(w, code);
  if (pos >= 0) removeAtLocked(w, pos);
}

void removeTemporaryLocked(Works* w) {
  for (int i = 0; i < w->errorCount.load(std::memory_order_relaxed);) {
    int code = w->errorList[i];
    if (validCode(code) && (w->errorTable[code].flags & kErrTemporary)) {
      ktrace("Del temp err: %i (%i , %i)\n", code, i, w->errorCount.load(std::memory_order_relaxed));
      removeAtLocked(w, i);
    } else {
      ++i;
    }
  }
}

void drawTile(Screen* s, int x0, int x1, const ErrorEntry& e) {
  bool red = e.flags & kErrRed;
  int r = 250, g = 150, b = 0;
  if (red) r = 255, g = 30, b = 0;
  for (int y = kTileTop; y < kTileBottom; ++y) DrawHorizontalLine(x0, y, x1, r, g, b, s);
  DrawLine(x0, kTileTop, x0, kTileBottom, 255, 255, 255, s);
  DrawLine(x1, kTileTop, x1, kTileBottom, 255, 255, 255, s);
  DrawHorizontalLine(x0 + 1, kTileTop, x1 + 1, 255, 255, 255, s);
  DrawHorizontalLine(x0 + 1, kTileBottom, x1 + 1, 255, 255, 255, s);
  putString(10, x0 + 4, 390, e.line1, 250, 250, 250, s);
  putString(10, x0 + 4, 410, e.line2, 250, 250, 250, s);
}

}  // namespace

void InitErrorTable(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  for (int i = 0; i < kNumErrorCodes; ++i) w->errorTable[i] = kErrorTableDefaults[i];
}

void SetErrorText(Works* w, int code, int line, const char* text) {
  if (!validCode(code) || (line != 1 && line != 2) || !text) return;
  std::lock_guard<std::mutex> lk(w->errorMut);
  char* dst = line == 1 ? w->errorTable[code].line1 : w->errorTable[code].line2;
  snprintf(dst, kErrorTextLen, "%s", text);
}

void AddErrore(Works* w, int code) {
  if (!validCode(code)) {
    klog(LOG_ERR, "error code %d is not in the error table", code);
    return;
  }
  // Faults seen before the micro's protections were first cleared are not listed; a micro that
  // never answers is, or the operator would see meters and no hint of the silent link.
  if (w->cpPending && code != 4) return;
  std::lock_guard<std::mutex> lk(w->errorMut);
  if (findLocked(w, code) >= 0) return;
  int n = w->errorCount.load(std::memory_order_relaxed);
  if (n >= static_cast<int>(sizeof w->errorList / sizeof w->errorList[0])) return;
  w->errorList[n] = code;
  w->errorCount.store(n + 1);
  ktrace("Add: N: %i err:%i\n", n + 1, code);
  uint8_t flags = w->errorTable[code].flags;
  if ((flags & kErrProtective) && !(w->errorFlags & kErrFlagBiasReset)) {
    uint8_t now = w->errorFlags.fetch_or(kErrFlagBiasReset) | kErrFlagBiasReset;
    ktrace(" -->set protezione 0x%x\n", now);
  }
  if ((flags & kErrTemporary) && !(w->errorFlags & kErrFlagWarnings)) {
    uint8_t now = w->errorFlags.fetch_or(kErrFlagWarnings) | kErrFlagWarnings;
    ktrace(" -->tasto reset errore 0x%x\n", now);
  }
}

void DeleteErrore(Works* w, int code) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  deleteLocked(w, code);
}

int ExistError(Works* w, int code) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  return findLocked(w, code) >= 0 ? 1 : 0;
}

int ExistAnError(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  return w->errorCount.load(std::memory_order_relaxed) > 0 ? w->errorList[0] : -1;
}

int LastError(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  int n = w->errorCount.load(std::memory_order_relaxed);
  return n > 0 ? w->errorList[n - 1] : -1;
}

int ErrorListSnapshot(Works* w, int* out, int max) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  int n = w->errorCount.load(std::memory_order_relaxed);
  if (n > max) n = max;
  for (int i = 0; i < n; ++i) out[i] = w->errorList[i];
  return n;
}

int ErrorResetLabelShown(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  int n = w->errorCount.load(std::memory_order_relaxed);
  if (n == 0) return 0;
  return (n == 1 && w->errorList[0] == 2) ? 0 : 1;
}

void VerifyWarningTemporanei(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  removeTemporaryLocked(w);
}

void VerifyWarningTemporaneiDopoResetBias(Works* w) {
  std::lock_guard<std::mutex> lk(w->errorMut);
  while (w->errorCount.load(std::memory_order_relaxed) > 0) {
    ktrace("Del temp err: %i (%i , %i)\n", w->errorList[0], 0, w->errorCount.load(std::memory_order_relaxed));
    removeAtLocked(w, 0);
  }
}

void ClearDisplayError(Works* w) {
  w->errorFlags.fetch_or(kErrFlagDisplayCleared);
  {
    std::lock_guard<std::mutex> lk(w->errorMut);
    for (int code : {12, 13, 14}) deleteLocked(w, code);
  }
  ktrace(" -->reset protezione %c\n", hexDigit(w->stStatus1));
}

void DrawTastoErrore(Works* w, int x0, int x1, int position) {
  Screen* s = w->fb;
  if (!s) return;
  ErrorEntry e;
  {
    std::lock_guard<std::mutex> lk(w->errorMut);
    if (position < 0 || position >= w->errorCount.load(std::memory_order_relaxed)) return;
    int code = w->errorList[position];
    if (!validCode(code)) return;
    e = w->errorTable[code];
  }
  drawTile(s, x0, x1, e);
}

void DrawError(Works* w) {
  Screen* s = w->fb;
  if (!s) return;
  // One consistent picture of the list: the newest six, oldest of them on the left.
  ErrorEntry shown[6];
  int count = 0;
  {
    std::lock_guard<std::mutex> lk(w->errorMut);
    int n = w->errorCount.load(std::memory_order_relaxed);
    int first = n > 6 ? n - 6 : 0;
    for (int i = first; i < n; ++i) {
      int code = w->errorList[i];
      if (validCode(code)) shown[count++] = w->errorTable[code];
    }
  }
  for (int k = 0; k < count; ++k) drawTile(s, kTileX0[k], kTileX1[k], shown[k]);
}
