// The WebSocket client thread (`Wclient`): the remote head's link to the station, kept up without end.
#include <fcntl.h>
#include <glib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/timing.h"
#include "remote/remote.h"
#include "remote/websock.h"
#include "ui/errors.h"
#include "ui/ui_fields.h"

namespace {

using websock::Clock;

bool clientStopped(Works* w) { return !w->running || getFlag(w->setup->WebSocket) != '2'; }

constexpr long long kRetryMs = 2000;
constexpr int kConnectTimeoutMs = 5000;

// The connection key: 16 random bytes in Base64, made once and kept for every reconnection.
bool makeKey(std::string& key) {
  const int fd = open(rootPath("/dev/urandom").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    klog(LOG_ERR, "/dev/urandom error %d", errno);
    return false;
  }
  unsigned char bytes[16];
  const ssize_t n = read(fd, bytes, sizeof bytes);
  const int err = errno;
  close(fd);
  if (n != 16) {
    klog(LOG_ERR, "/dev/urandom read %zd instead of 16, error=%d", n, n < 0 ? err : 0);
    return false;
  }
  gchar* b64 = g_base64_encode(bytes, sizeof bytes);
  key = b64;
  g_free(b64);
  return true;
}

// Connects without blocking past a stop or the time-out. The socket, or -1.
int connectToServer(Works* w) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(static_cast<unsigned short>(w->tcpPort.load()));
  const int gai = getaddrinfo(w->serverName, port.c_str(), &hints, &res);
  if (gai != 0 || !res) {
    // The name server may come up after the unit: try again later rather than give up.
    klog(LOG_ERR, "ERROR, no such host as %s (%s)", w->serverName, gai_strerror(gai));
    return -1;
  }
  klog(LOG_INFO, "server ok");
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    klog(LOG_ERR, "Socket error %d", errno);
    freeaddrinfo(res);
    return -1;
  }
  klog(LOG_INFO, "Socket for TCP created");
  klog(LOG_INFO, "TCP bound");
  int rc = connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (rc != 0 && errno == EINPROGRESS) {
    const auto end = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    rc = -1;
    while (!clientStopped(w) && Clock::now() < end) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, websock::kStopCheckMs) <= 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      errno = err;
      rc = err == 0 ? 0 : -1;
      break;
    }
  }
  if (rc != 0) {
    klog(LOG_ERR, "Connect Error %d", errno);
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  websock::SetPeerSocketOptions(fd);
  klog(LOG_INFO, "TCP connected");
  return fd;
}

bool sendRequest(Works* w, int fd, const std::string& key) {
  char piece[256];
  const std::string pieces[] = {
      "GET /chat HTTP/1.1\r\n",
      (snprintf(piece, sizeof piece, "Host: %s:%d\r\n", w->serverName, static_cast<unsigned short>(w->tcpPort.load())),
       std::string(piece)),
      "Upgrade: websocket\r\n",
      "Connection: keep-alive, Upgrade\r\n",
      "Sec-WebSocket-Key: " + key + "\r\n",
      "Sec-WebSocket-Version: 13\r\n\r\n\r\n"};
  for (const std::string& p : pieces) {
    const ssize_t n = send(fd, p.data(), p.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(p.size())) {
      klog(LOG_ERR, "TCP write Error");
      return false;
    }
    ktrace("TCP write %zd bytes\n", n);
  }
  return true;
}

// The password as the first text frame, with a zero key.
bool sendPassword(Works* w, int fd) {
  const size_t n = strlen(w->wsockPassword);
  uint8_t frame[6 + sizeof w->wsockPassword] = {0x81, static_cast<uint8_t>(n), 0, 0, 0, 0};
  memcpy(frame + 6, w->wsockPassword, n);
  std::lock_guard<std::mutex> lk(*w->wsockMut);
  w->wsockFD = fd;
  return send(fd, frame, n + 6, MSG_NOSIGNAL) == static_cast<ssize_t>(n + 6);
}

// One connection from handshake to its end. True when the server let it in.
bool serveConnection(Works* w, int fd, const std::string& key, bool& keyErrorShown, std::vector<uint8_t>& buf) {
  websock::SocketReader in(fd, w, clientStopped);
  in.setDeadline(Clock::now() + std::chrono::milliseconds(w->wsockLoginTimeoutMs.load()));
  if (!sendRequest(w, fd, key)) return false;
  const int hs = websock::ReadHandshakeReply(in, key);
  if (hs == 2) {
    // A server that answers with the wrong accept value is shown, not obeyed: it must not switch the unit off.
    AddErrore(w, kErrorRemoteCat);
    keyErrorShown = true;
    return false;
  }
  if (hs != 1) return false;
  if (keyErrorShown) {
    DeleteErrore(w, kErrorRemoteCat);
    keyErrorShown = false;
  }
  in.clearDeadline();
  if (!sendPassword(w, fd)) {
    klog(LOG_ERR, "TCP write Error");
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(*w->connMut);
    w->wsockConnected = 1;
  }
  ++w->wsockSessions;
  sleepMs(20);
  klog(LOG_INFO, "Websocket Connected");
  websock::Session s;
  s.server = false;
  s.authenticated = true;
  s.fd = fd;
  int r = in.skipLineEnds();
  while (r == 1 && w->wsockConnected) {
    websock::Frame f;
    int stage = 0;
    r = websock::ReadFrame(in, buf.data(), f, stage);
    if (r != 1) {
      klog(LOG_ERR, "TCP read Error %dA %d", stage, in.lastError());
      break;
    }
    websock::Dispatch(w, s, f);
    if (s.end) break;
  }
  return true;
}

}  // namespace

void Wclient(Works* w) {
  LoadWsockPassword(w);
  klog(LOG_INFO, "Wclient to server %s on port %d mode %c", w->serverName, w->tcpPort.load(),
       getFlag(w->setup->WebSocket));
  std::string key;
  if (!makeKey(key)) return;
  w->wsockConnected = 0;
  bool keyErrorShown = false;
  std::vector<uint8_t> buf(kWebSockMaxPayload);
  while (!clientStopped(w)) {
    const int fd = connectToServer(w);
    if (fd < 0) {
      w->wsockConnected = 0;
      websock::PauseUnlessStopped(w, kRetryMs, clientStopped);
      continue;
    }
    const bool wasConnected = serveConnection(w, fd, key, keyErrorShown, buf);
    klog(LOG_INFO, "reconnecting");
    // The head's own transmitter is not on this link: nothing to unkey here.
    websock::EndConnection(w, fd, false);
    websock::PauseUnlessStopped(w, wasConnected ? 100 : kRetryMs, clientStopped);
  }
  w->wsockConnected = 0;
  klog(LOG_INFO, "Wclient ended");
}
