// The WebSocket server thread (`Wsocket`): one peer at a time, handshake, password, frames.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "remote/remote.h"
#include "remote/websock.h"

namespace {

using websock::Clock;

bool serverStopped(Works* w) { return !w->running || getFlag(w->setup->WebSocket) != '1'; }

int openListener(Works* w) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    klog(LOG_ERR, "Socket open error %d", errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(w->tcpPort.load()));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    klog(LOG_ERR, "Binding error %d", errno);
    close(fd);
    return -1;
  }
  if (listen(fd, 1) != 0) {
    klog(LOG_ERR, "Listening error %d", errno);
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  w->wsockListenPort = ntohs(addr.sin_port);
  klog(LOG_INFO, "Listening on port %d", w->wsockListenPort.load());
  return fd;
}

bool sendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Serves one accepted peer to its end. True when it ended on a wrong password.
bool serveConnection(Works* w, int fd, std::vector<uint8_t>& buf) {
  websock::SocketReader in(fd, w, serverStopped);
  // A peer that connects and then says nothing must not hold the one slot.
  in.setDeadline(Clock::now() + std::chrono::milliseconds(w->wsockLoginTimeoutMs.load()));
  websock::Session s;
  s.server = true;
  s.fd = fd;
  std::string key;
  const int hs = websock::ReadHandshakeRequest(in, key);
  if (hs == 1) {
    const std::string reply = websock::HandshakeReply(key);
    ktrace("%s", reply.c_str());
    if (!sendAll(fd, reply)) {
      klog(LOG_ERR, "handshake reply not sent: %s", strerror(errno));
    } else {
      {
        std::lock_guard<std::mutex> lk(*w->wsockMut);
        w->wsockFD = fd;
      }
      // The unit's own client ends its request with one blank line more than it needs.
      int r = in.skipLineEnds();
      while (r == 1) {
        websock::Frame f;
        int stage = 0;
        r = websock::ReadFrame(in, buf.data(), f, stage);
        if (r != 1) {
          klog(LOG_ERR, "TCP read Error %da %d", stage, in.lastError());
          break;
        }
        const bool wasIn = s.authenticated;
        websock::Dispatch(w, s, f);
        if (s.authenticated && !wasIn) in.clearDeadline();
        if (s.end) break;
      }
      if (r == 0) klog(LOG_INFO, "peer closed the connection");
      if (r < 0 && !s.authenticated && in.lastError() == ETIMEDOUT)
        klog(LOG_ERR, "no handshake and password within %d ms: connection ended", w->wsockLoginTimeoutMs.load());
    }
  } else if (hs < 0 && in.lastError() == ETIMEDOUT) {
    klog(LOG_ERR, "no handshake within %d ms: connection ended", w->wsockLoginTimeoutMs.load());
  }
  klog(LOG_INFO, "TCP exiting");
  websock::EndConnection(w, fd, s.authenticated);
  klog(LOG_INFO, "TCP closed");
  return s.wrongPassword;
}

}  // namespace

void Wsocket(Works* w) {
  rememberServerWorks(w);
  LoadWsockPassword(w);
  klog(LOG_INFO, "Wsocket on port %d mode %c", w->tcpPort.load(), getFlag(w->setup->WebSocket));
  if (!websock::PauseUnlessStopped(w, static_cast<long long>(2000 * startupScale()), serverStopped)) return;
  int lfd = -1;
  // A port still held by a previous run is let go within a short while: keep trying rather than never serve.
  while ((lfd = openListener(w)) < 0)
    if (!websock::PauseUnlessStopped(w, 2000, serverStopped)) return;
  std::vector<uint8_t> buf(kWebSockMaxPayload);
  while (!serverStopped(w)) {
    w->wsockConnected = 0;
    pollfd p{lfd, POLLIN, 0};
    const int pr = poll(&p, 1, websock::kStopCheckMs);
    if (pr <= 0) {
      if (pr < 0 && errno != EINTR) {
        klog(LOG_ERR, "Accept-ing error %d", errno);
        websock::PauseUnlessStopped(w, 1000, serverStopped);
      }
      continue;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or a peer gone before it was taken: the server keeps serving.
      klog(LOG_ERR, "Accept-ing error %d", errno);
      if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN)
        websock::PauseUnlessStopped(w, 1000, serverStopped);
      continue;
    }
    ++w->wsockAccepted;
    char name[INET_ADDRSTRLEN] = "?";
    if (!inet_ntop(AF_INET, &peer.sin_addr, name, sizeof name)) klog(LOG_ERR, "inet_ntoa error %d", errno);
    klog(LOG_INFO, "Connected by %s", name);
    websock::SetPeerSocketOptions(fd);
    // After a wrong password the next guess waits a second.
    if (serveConnection(w, fd, buf)) websock::PauseUnlessStopped(w, 1000, serverStopped);
  }
  w->wsockConnected = 0;
  w->wsockListenPort = 0;
  close(lfd);
  klog(LOG_INFO, "Wsocket ended");
}
