// What a received frame does: the password, the transceiver's traffic, "ST" commands, spectrum and screen
// objects, and the control frames of standard clients.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "remote/websock.h"
#include "tuner/tuner.h"
#include "ui/fb.h"

namespace websock {

namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Compares every byte of the longer of the two, so the time taken says nothing of where they differ.
bool samePassword(const uint8_t* got, size_t gotLen, const char* want) {
  const size_t wantLen = strlen(want);
  const size_t n = gotLen > wantLen ? gotLen : wantLen;
  unsigned diff = static_cast<unsigned>(gotLen ^ wantLen);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t a = i < gotLen ? got[i] : 0;
    const uint8_t b = i < wantLen ? static_cast<uint8_t>(want[i]) : 0;
    diff |= static_cast<unsigned>(a ^ b);
  }
  return diff == 0;
}

void password(Works* w, Session& s, const Frame& f) {
  if (!samePassword(f.data, f.length, w->wsockPassword)) {
    klog(LOG_ERR, "required password differs (%zu bytes received): connection ended", f.length);
    s.wrongPassword = true;
    s.end = true;
    return;
  }
  klog(LOG_INFO, "required password equals the received one");
  {
    std::lock_guard<std::mutex> lk(*w->connMut);
    w->wsockConnected = 1;
    ktrace("connected\n");
    sleepMs(1);
  }
  s.authenticated = true;
  ++w->wsockSessions;
  klog(LOG_INFO, "Receiving data");
}

// A control frame's answer carries the frame's own payload (a close its status code).
void answerControl(Works* w, uint8_t opcode, const Frame& f) {
  uint8_t out[2 + 125];
  const size_t n = f.length > 125 ? 125 : f.length;
  out[0] = static_cast<uint8_t>(0x80 | opcode);
  out[1] = static_cast<uint8_t>(n);
  if (n) memcpy(out + 2, f.data, n);
  WriteFrame(w, out, n + 2, opcode == kOpPong ? "pong" : "close");
}

void toCatPort(Works* w, Session& s, const uint8_t* data, size_t n) {
  int rc = -1;
  if (w->hooks.writeCatPort) rc = w->hooks.writeCatPort(w, data, n);
  if (rc == 0) return;
  if (!s.server) return;  // a remote head without its CAT port just drops the text
  klog(LOG_ERR, "TCP read Error 7a %d", rc);
  // The relay ends through its own flag and port, never a signal: the stop handler would end the unit.
  if (w->hooks.exitCat) w->hooks.exitCat(w);
  s.end = true;
}

void toSerPort(Works* w, Session& s, const uint8_t* data, size_t n, const char* what) {
  const int rc = w->hooks.writeSerPort ? w->hooks.writeSerPort(w, data, n) : -1;
  if (rc == 0) return;
  klog(LOG_ERR, "TCP read Error %s %d", what, rc);
  s.end = true;
}

// Chunk header of "SP" and "FB": tag, total, offset, then up to 512 bytes.
bool chunkHeader(const Frame& f, uint32_t& total, uint32_t& offset, size_t& avail) {
  if (f.length < 10) return false;
  total = be32(f.data + 2);
  offset = be32(f.data + 6);
  avail = f.length - 10;
  return true;
}

void spectrumChunk(Works* w, Session& s, const Frame& f) {
  uint32_t total, offset;
  size_t avail;
  if (!chunkHeader(f, total, offset, avail) || total == 0 || total > kSpectrumLineMax || offset >= total) {
    klog(LOG_ERR, "spectrum chunk refused: %zu bytes, total %u, offset %u", f.length,
         f.length >= 10 ? be32(f.data + 2) : 0, f.length >= 10 ? be32(f.data + 6) : 0);
    return;
  }
  size_t n = total - offset;
  if (n > kChunkBytes) n = kChunkBytes;
  if (n > avail) n = avail;
  memcpy(s.spectrum + offset, f.data + 10, n);
  if (offset + kChunkBytes >= total && w->hooks.storeFFT) w->hooks.storeFFT(w, static_cast<int>(total), s.spectrum);
}

void xyEvent(const Frame& f) {
  int x = 0, y = 0;
  bool digits = f.length >= 12 && f.data[0] == 'X' && f.data[1] == 'Y';
  for (size_t i = 2; digits && i < 12; ++i) {
    if (f.data[i] < '0' || f.data[i] > '9') digits = false;
    (i < 7 ? x : y) = (i < 7 ? x : y) * 10 + (f.data[i] - '0');
  }
  if (digits)
    ktrace("touch from the peer at %d,%d\n", x, y);
  else
    klog(LOG_INFO, "text frame of %zu bytes from the peer ignored", f.length);
}

}  // namespace

void ScreenChunk(Works* w, const uint8_t* chunk, size_t avail, uint32_t total, uint32_t offset) {
  Screen* sc = w->fb;
  if (!sc || !sc->backBuf || !sc->workBuf) return;
  if (total == 0 || total > sc->memSize || offset >= total) {
    klog(LOG_ERR, "screen chunk refused: total %u, offset %u for a %u-byte screen", total, offset, sc->memSize);
    return;
  }
  size_t n = total - offset;
  if (n > kChunkBytes) n = kChunkBytes;
  if (n > avail) n = avail;
  std::vector<uint8_t> jpeg;
  {
    std::lock_guard<std::mutex> lk(sc->drawMut);
    memcpy(sc->backBuf + offset, chunk, n);
    if (offset + kChunkBytes < total) return;
    // The background now holds the peer's picture: what was drawn into it once is gone.
    ++sc->backgroundLoads;
    if (total == sc->memSize) {
      memcpy(sc->workBuf, sc->backBuf, sc->memSize);
      fbRealize(sc);
      return;
    }
    jpeg.assign(sc->backBuf, sc->backBuf + total);
  }
  if (Uncompress(w, jpeg.data(), jpeg.size()) != 0) return;
  std::lock_guard<std::mutex> lk(sc->drawMut);
  fbRealize(sc);
}

void Dispatch(Works* w, Session& s, const Frame& f) {
  const uint8_t op = Opcode(f);
  if (f.dropped) {
    if (!s.loggedDropped)
      klog(LOG_ERR, "frame of %zu bytes dropped: the receive buffer holds %zu (logged once per connection)", f.length,
           kWebSockMaxPayload);
    s.loggedDropped = true;
  }
  if (s.server && !s.authenticated) {
    // Nothing a peer sends is acted on before its password.
    if (f.head != (0x80 | kOpText) || f.extended || f.dropped) {
      klog(LOG_ERR, "frame 0x%02x of %zu bytes before the password: connection ended", f.head, f.length);
      s.end = true;
      return;
    }
    password(w, s, f);
    return;
  }
  if (f.dropped) return;
  if (op == kOpClose) {
    answerControl(w, kOpClose, f);
    klog(LOG_INFO, "peer closed the connection");
    s.end = true;
    return;
  }
  if (op == kOpPing) {
    answerControl(w, kOpPong, f);
    return;
  }
  if (op == kOpPong) return;
  if (f.head == (0x80 | kOpText)) {
    if (f.extended) {
      klog(LOG_ERR, "wrong message length: is %zu instead of %d", f.length, 125);
      w->wsockConnected = 0;
      s.end = true;
      return;
    }
    xyEvent(f);
    return;
  }
  if (f.head != (0x80 | kOpBinary) || f.length < 2) {
    klog(LOG_ERR, "wrong message type: %x", f.head);
    return;
  }
  const uint8_t* data = f.data + 2;
  const size_t n = f.length - 2;
  const char t0 = static_cast<char>(f.data[0]), t1 = static_cast<char>(f.data[1]);
  auto is = [&](const char* tag) { return t0 == tag[0] && t1 == tag[1]; };
  if (is("CA")) {
    toCatPort(w, s, data, n);
  } else if (is("ST")) {
    memset(w->statusText, 0, sizeof w->statusText);
    memcpy(w->statusText, data, n < sizeof w->statusText ? n : sizeof w->statusText - 1);
    dispStat(w);
  } else if (is("SC") && s.server) {
    toSerPort(w, s, data, n, "7a");
  } else if (is("PA")) {
    if (s.server) {
      ktrace("S BUFFER WEB SERVER : %.*s\n", static_cast<int>(n), reinterpret_cast<const char*>(data));
      toSerPort(w, s, data, n, "8a");
    } else if (w->hooks.storeParameters) {
      w->hooks.storeParameters(w, static_cast<int>(n), data);
    }
  } else if (is("SP")) {
    if (!s.server) spectrumChunk(w, s, f);
  } else if (is("FB")) {
    uint32_t total, offset;
    size_t avail;
    if (chunkHeader(f, total, offset, avail))
      ScreenChunk(w, f.data + 10, avail, total, offset);
    else
      klog(LOG_ERR, "screen chunk of %zu bytes refused", f.length);
  } else if (is("SO")) {
    if (n < 4 || be32(data) > n - 4) {
      if (!s.loggedAudio)
        klog(LOG_ERR, "audio frame refused: %zu bytes, length field %u (logged once per connection)", n,
             n >= 4 ? be32(data) : 0);
      s.loggedAudio = true;
    } else if (PlayAudioFrame(w, data + 4, be32(data), s.server, s.audioLog) != 0) {
      klog(LOG_ERR, "audio output failed: connection ended");
      s.end = true;
    }
  } else {
    klog(LOG_ERR, "wrong message type: %x", f.head);
  }
}

}  // namespace websock

void dispStat(Works* w) {
  const char* t = w->statusText;
  ktrace("BUFFER Wsocket : %s\n", t);
  Mirtsetup* s = w->setup;
  if (strncmp(t, "TIRMB", 5) == 0 || strncmp(t, "TIRMP", 5) == 0) {
    ktrace("ChangeBanco\n");
    ChangeBanco(w);
  } else if (strncmp(t, "TIRMT", 5) == 0) {
    // The tune request of the peer has nothing to do here.
  } else if (strncmp(t, "TIRMFT00;", 9) == 0) {
    setFlag(s->EnableSpectrum, '0');
  } else if (strncmp(t, "TIRMFT01;", 9) == 0 || strncmp(t, "TIRMFT02;", 9) == 0) {
    setFlag(s->EnableSpectrum, '1');
    setFlag(s->Enable1600, t[7] == '2' ? '1' : '0');
    if (w->fftDivide < 2) w->fftDivide = 2;
  } else if (strncmp(t, "TIRMFD", 6) == 0) {
    // The setup file keeps the divider in two digits.
    int v = 0, digits = 0;
    const char* p = t + 6;
    while (*p >= '0' && *p <= '9' && digits < 3) v = v * 10 + (*p++ - '0'), ++digits;
    if (digits == 0 || digits > 2 || (*p != '\0' && *p != ';'))
      klog(LOG_ERR, "spectrum divider command refused: %.20s", t);
    else
      w->fftDivide = v;
  }
}
