// Frames to the connected peer: short, chunked and text frames, one write each under the socket's lock.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "remote/remote.h"
#include "remote/websock.h"
#include "ui/fb.h"

namespace {

constexpr int kShortFrameMaxData = 123;  // the length byte holds data + tag below 126
// Header of a chunk: 0x82, 0x7E, the 16-bit length, tag, total and offset.
constexpr int kChunkHeader = 14;

int sendShortFrame(Works* w, const char tag[2], const void* data, int n, bool waitForRoom = true) {
  if (!w->wsockConnected) return 0;
  if (n < 0 || n > kShortFrameMaxData) {
    klog(LOG_ERR, "Frame %c%c of %d bytes refused: at most %d fit a short frame", tag[0], tag[1], n,
         kShortFrameMaxData);
    return -1;
  }
  uint8_t frame[4 + kShortFrameMaxData];
  frame[0] = 0x82;
  frame[1] = static_cast<uint8_t>(n + 2);
  frame[2] = static_cast<uint8_t>(tag[0]);
  frame[3] = static_cast<uint8_t>(tag[1]);
  if (n) memcpy(frame + 4, data, static_cast<size_t>(n));
  const char what[3] = {tag[0], tag[1], 0};
  return websock::WriteFrame(w, frame, static_cast<size_t>(n) + 4, what, waitForRoom);
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// An object as 512-byte chunks in ascending order; the first chunk not sent ends the object.
int sendChunked(Works* w, const char tag[2], const uint8_t* data, uint32_t total) {
  if (!w->wsockConnected) return 0;
  uint8_t frame[kChunkHeader + kChunkBytes];
  frame[0] = 0x82;
  frame[1] = 0x7E;
  frame[2] = (kChunkBytes + 10) >> 8;
  frame[3] = (kChunkBytes + 10) & 0xFF;
  frame[4] = static_cast<uint8_t>(tag[0]);
  frame[5] = static_cast<uint8_t>(tag[1]);
  put32(frame + 6, total);
  const char what[3] = {tag[0], tag[1], 0};
  for (uint32_t off = 0; off < total; off += kChunkBytes) {
    const uint32_t n = std::min<uint32_t>(kChunkBytes, total - off);
    put32(frame + 10, off);
    memcpy(frame + kChunkHeader, data + off, n);
    memset(frame + kChunkHeader + n, 0, kChunkBytes - n);
    if (!w->wsockConnected || websock::WriteFrame(w, frame, sizeof frame, what) != 0) return -1;
  }
  return 0;
}

// The record of the running server, for the screen sender that is handed no record.
std::atomic<Works*> g_serverWorks{nullptr};

}  // namespace

int sendWebSockCatFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "CA", data, n); }
int sendWebSockSerParFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "PA", data, n); }
// The supervisor sends one every pass: a peer that stops taking data must not stop the screen and the
// frequency following for the socket's whole send time-out, so a status the socket cannot take now is skipped.
int sendWebSockStatusFrame(Works* w, const void* data, int n) {
  return sendShortFrame(w, "ST", data, n, false) < 0 ? -1 : 0;
}
int sendWebSockSerFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "SC", data, n); }

int sendWebSockSerSpectrFrame(Works* w, const void* line, int total) {
  if (total <= 0) return 0;
  return sendChunked(w, "SP", static_cast<const uint8_t*>(line), static_cast<uint32_t>(total));
}

void rememberServerWorks(Works* w) { g_serverWorks = w; }

void sendWebSockFbFrame(int) {
  Works* w = g_serverWorks.load();
  if (w) sendScreenFrame(w);
}

int sendScreenFrame(Works* w) {
  Screen* sc = w->fb;
  if (getFlag(w->setup->WebSocket) != '1' || !w->wsockConnected || !sc || !sc->screenMem) return 0;
  std::vector<uint8_t> object(sc->memSize);
  size_t length = sc->memSize;
  bool raw = w->jpegQuality <= 0;
  if (!raw) {
    // A JPEG as long as the screen would be taken for a raw one.
    if (!Compress(w, object.data(), &length) || length >= sc->memSize) raw = true;
  }
  if (raw) {
    std::lock_guard<std::mutex> lk(sc->drawMut);
    memcpy(object.data(), sc->screenMem, sc->memSize);
    length = sc->memSize;
  }
  return sendChunked(w, "FB", object.data(), static_cast<uint32_t>(length));
}

int sendWebSockEventFrame(Works* w, int x, int y) {
  if (!w->wsockConnected) return 0;
  x = std::clamp(x, 0, 99999);
  y = std::clamp(y, 0, 99999);
  // A zero key leaves the payload as it is.
  uint8_t frame[6 + 13] = {0x81, 12, 0, 0, 0, 0};
  snprintf(reinterpret_cast<char*>(frame + 6), 13, "XY%05d%05d", x, y);
  return websock::WriteFrame(w, frame, 18, "XY");
}
