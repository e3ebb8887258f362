// The WebSocket link's shared pieces: bounded reading, both sides of the handshake, frames in and out.
#include "remote/websock.h"

#include <glib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"

namespace websock {

int SocketReader::fill() {
  for (;;) {
    if (stop_ && stop_(works_)) {
      err_ = ECANCELED;
      return -1;
    }
    long long waitMs = kStopCheckMs;
    if (hasDeadline_) {
      const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      if (left <= 0) {
        err_ = ETIMEDOUT;
        return -1;
      }
      waitMs = std::min(waitMs, left);
    }
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(waitMs));
    if (r < 0) {
      if (errno == EINTR) continue;
      err_ = errno;
      return -1;
    }
    if (r == 0) continue;
    const ssize_t n = read(fd_, buf_, sizeof buf_);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      err_ = errno;
      return -1;
    }
    if (n == 0) {
      err_ = 0;
      return 0;
    }
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    return 1;
  }
}

int SocketReader::readLine(char* out, int max) {
  int n = 0;
  while (n < max - 1) {
    if (pos_ == len_) {
      const int r = fill();
      if (r < 0) return -1;
      if (r == 0) break;
    }
    const char c = static_cast<char>(buf_[pos_++]);
    out[n++] = c;
    if (c == '\n') break;
  }
  out[n] = '\0';
  return n;
}

int SocketReader::readExact(void* out, size_t n) {
  auto* dst = static_cast<uint8_t*>(out);
  while (n > 0) {
    if (pos_ == len_) {
      const int r = fill();
      if (r <= 0) return r;
    }
    const size_t take = std::min(n, len_ - pos_);
    memcpy(dst, buf_ + pos_, take);
    pos_ += take;
    dst += take;
    n -= take;
  }
  return 1;
}

int SocketReader::discard(size_t n) {
  while (n > 0) {
    if (pos_ == len_) {
      const int r = fill();
      if (r <= 0) return r;
    }
    const size_t take = std::min(n, len_ - pos_);
    pos_ += take;
    n -= take;
  }
  return 1;
}

int SocketReader::skipLineEnds() {
  for (;;) {
    if (pos_ == len_) {
      const int r = fill();
      if (r <= 0) return r;
    }
    if (buf_[pos_] != '\r' && buf_[pos_] != '\n') return 1;
    ++pos_;
  }
}

std::string AcceptValue(const std::string& key) {
  const std::string text = key + kAcceptGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  if (!EVP_Digest(text.data(), text.size(), digest, &digestLen, EVP_sha1(), nullptr) || digestLen != 20) {
    klog(LOG_ERR, "SHA-1 of the WebSocket key failed");
    return {};
  }
  gchar* b64 = g_base64_encode(digest, digestLen);
  std::string out(b64);
  g_free(b64);
  return out;
}

void SetPeerSocketOptions(int fd) {
  const int on = 1, idle = 5, interval = 2, count = 5;
  const unsigned int userTimeoutMs = 15000;
  timeval sendTimeout{15, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
    klog(LOG_ERR, "socket options for a lost peer not set: %s", strerror(errno));
}

namespace {

bool startsWith(const char* line, const char* prefix) { return strncmp(line, prefix, strlen(prefix)) == 0; }

// The rest of a header line after its name, without the line end and the blanks around it.
std::string headerValue(const char* line, size_t nameLen) {
  std::string v(line + nameLen);
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ' || v.back() == '\t')) v.pop_back();
  size_t b = 0;
  while (b < v.size() && (v[b] == ' ' || v[b] == '\t')) ++b;
  return v.substr(b);
}

// A key is 24 characters of Base64; a longer one is no key at all.
constexpr size_t kKeyMax = 64;

}  // namespace

int ReadHandshakeRequest(SocketReader& in, std::string& key) {
  static const char* const kPrefixes[] = {"GET ",
                                          "Host: ",
                                          "Sec-WebSocket-Version: ",
                                          "Sec-WebSocket-Protocol: ",
                                          "Sec-WebSocket-Key: ",
                                          "Connection: keep-alive, Upgrade",
                                          "Upgrade: websocket"};
  key.clear();
  char line[kLineMax];
  int steps = 0, total = 0;
  bool continuation = false, keySeen = false;
  for (;;) {
    const int n = in.readLine(line, sizeof line);
    if (n < 0) {
      klog(LOG_ERR, "TCP read error %d", in.lastError());
      return -1;
    }
    if (n == 0) {
      klog(LOG_ERR, "peer closed during the handshake after %d steps", steps);
      return 0;
    }
    total += n;
    if (total > kHandshakeMaxBytes) {
      klog(LOG_ERR, "handshake request over %d bytes refused", kHandshakeMaxBytes);
      return -1;
    }
    // The tail of a line longer than the line buffer is no header of its own.
    const bool whole = line[n - 1] == '\n';
    const bool tail = continuation;
    continuation = !whole;
    if (!whole || tail) continue;
    for (const char* p : kPrefixes) {
      if (!startsWith(line, p)) continue;
      ++steps;
      klog(LOG_INFO, "Caught %s go to status %d/%d", p, steps, 7);
      if (p == kPrefixes[4]) {
        key = headerValue(line, strlen(p));
        keySeen = !key.empty() && key.size() <= kKeyMax;
        if (!keySeen) key.clear();
      }
    }
    if (n < 3) {
      ++steps;
      klog(LOG_INFO, "status advanced %d", steps);
      // Standard clients send headers the count does not know and one step fewer: their blank line
      // ends the request once a key has come.
      if (keySeen) break;
    }
    if (steps >= 8) break;
  }
  if (!keySeen) {
    klog(LOG_ERR, "handshake request without a usable Sec-WebSocket-Key refused");
    return 0;
  }
  return 1;
}

std::string HandshakeReply(const std::string& key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
         AcceptValue(key) + "\r\nSec-WebSocket-Protocol: chat\r\n\r\n";
}

int ReadHandshakeReply(SocketReader& in, const std::string& key) {
  static const char* const kPrefixes[] = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket",
                                          "Connection: Upgrade",
                                          "Sec-WebSocket-Accept:", "Sec-WebSocket-Protocol: chat"};
  static const char kAccept[] = "Sec-WebSocket-Accept: ";
  const std::string expected = AcceptValue(key);
  char line[kLineMax];
  int steps = 0, total = 0;
  bool continuation = false, acceptGood = false;
  while (steps <= 5) {
    const int n = in.readLine(line, sizeof line);
    if (n < 0) {
      klog(LOG_ERR, "TCP read error 1 %d", in.lastError());
      return -1;
    }
    if (n == 0) {
      klog(LOG_ERR, "server closed during the handshake after %d steps", steps);
      return 0;
    }
    total += n;
    if (total > kHandshakeMaxBytes) {
      klog(LOG_ERR, "handshake reply over %d bytes refused", kHandshakeMaxBytes);
      return -1;
    }
    const bool whole = line[n - 1] == '\n';
    const bool tail = continuation;
    continuation = !whole;
    if (!whole || tail) continue;
    ktrace("Received %d bytes %s", n, line);
    for (const char* p : kPrefixes) {
      if (!startsWith(line, p)) continue;
      ++steps;
      klog(LOG_INFO, "Caught %s go to status %d/%d", p, steps, 5);
      break;
    }
    if (startsWith(line, kAccept)) {
      const std::string got = headerValue(line, strlen(kAccept));
      if (got != expected) {
        klog(LOG_ERR, "keys not correct %s %s", got.c_str(), expected.c_str());
        return 2;
      }
      klog(LOG_INFO, "keys correct %s %s", got.c_str(), expected.c_str());
      acceptGood = true;
    }
    if (n < 3) {
      ++steps;
      klog(LOG_INFO, "status advanced %d", steps);
    }
  }
  // Steps alone can be made of blank lines: a reply is good only with the accept value it owes.
  if (!acceptGood) {
    klog(LOG_ERR, "handshake reply without its Sec-WebSocket-Accept line");
    return 2;
  }
  return 1;
}

namespace {
// A 64-bit length up to this is still read through and dropped; anything larger is no peer of ours.
constexpr uint64_t kDiscardMax = 16u << 20;
}  // namespace

int ReadFrame(SocketReader& in, uint8_t* buf, Frame& f, int& stage) {
  f = Frame{};
  uint8_t h[2];
  stage = 1;
  int r = in.readExact(h, 2);
  if (r != 1) return r;
  f.head = h[0];
  f.masked = (h[1] & 0x80) != 0;
  uint64_t len = h[1] & 0x7F;
  if (len == 126 || len == 127) {
    stage = 2;
    uint8_t e[8];
    const size_t bytes = len == 126 ? 2 : 8;
    r = in.readExact(e, bytes);
    if (r != 1) return r;
    len = 0;
    for (size_t i = 0; i < bytes; ++i) len = (len << 8) | e[i];
    f.extended = true;
  }
  // Text frames of the unit always carry a key, masked frames of standard clients too.
  const bool keyed = f.masked || (f.head & 0x0F) == kOpText;
  uint8_t key[4] = {0, 0, 0, 0};
  if (keyed) {
    stage = 3;
    r = in.readExact(key, 4);
    if (r != 1) return r;
  }
  f.length = static_cast<size_t>(std::min<uint64_t>(len, SIZE_MAX));
  if (len > kWebSockMaxPayload) {
    stage = 4;
    if (len > kDiscardMax) {
      klog(LOG_ERR, "frame of %llu bytes: no peer of this unit sends one, connection ended",
           static_cast<unsigned long long>(len));
      return -1;
    }
    r = in.discard(static_cast<size_t>(len));
    if (r != 1) return r;
    f.dropped = true;
    return 1;
  }
  stage = 5;
  r = in.readExact(buf, f.length);
  if (r != 1) return r;
  if (keyed)
    for (size_t i = 0; i < f.length; ++i) buf[i] ^= key[i & 3];
  f.data = buf;
  stage = 6;
  return 1;
}

int WriteFrame(Works* w, const uint8_t* frame, size_t n, const char* what, bool waitForRoom) {
  sleepUs(10);
  std::unique_lock<std::mutex> lk(*w->wsockMut, std::defer_lock);
  if (waitForRoom)
    lk.lock();
  else if (!lk.try_lock())
    return 1;
  const int fd = w->wsockFD;
  if (fd < 0) return -1;
  const ssize_t rc = send(fd, frame, n, MSG_NOSIGNAL | (waitForRoom ? 0 : MSG_DONTWAIT));
  if (rc == static_cast<ssize_t>(n)) return 0;
  if (!waitForRoom && rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
  klog(LOG_ERR, "frame %s not sent whole: %zd of %zu bytes (%s); the connection ends", what, rc, n,
       rc < 0 ? strerror(errno) : "short write");
  // What follows would land in the middle of the cut frame: the receiving thread sees the end and closes.
  shutdown(fd, SHUT_RDWR);
  return -1;
}

}  // namespace websock

namespace websock {

bool PauseUnlessStopped(Works* w, long long ms, bool (*stop)(Works*)) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (stop(w)) return false;
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    sleepMs(std::max(1LL, std::min<long long>(kStopCheckMs / 2, left)));
  }
  return !stop(w);
}

void EndConnection(Works* w, int fd, bool authenticated) {
  w->wsockConnected = 0;
  // A sender blocked on a peer that stopped reading holds the lock; this wakes it at once.
  shutdown(fd, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lk(*w->wsockMut);
    if (w->wsockFD == fd) w->wsockFD = -1;
  }
  if (authenticated) {
    int tx;
    {
      std::lock_guard<std::mutex> lk(*w->serMut);
      tx = w->serParam.txOn;
    }
    // Nobody is left to unkey a transmitter the peer keyed. A peer that never got in changes nothing,
    // so a failed login cannot unkey a local operator.
    if (tx) {
      const int rc = w->hooks.writeSerPort ? w->hooks.writeSerPort(w, "RX;", 3) : -1;
      klog(rc == 0 ? LOG_INFO : LOG_ERR, "peer gone while the transceiver transmits: RX; %s",
           rc == 0 ? "sent" : "could not be sent");
    }
  }
  if (close(fd) != 0) klog(LOG_ERR, "TCP close Error %d", errno);
}

}  // namespace websock
