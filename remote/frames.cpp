// Short binary frames to the connected peer: one write each, under the socket's lock.
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/log.h"
#include "platform/timing.h"
#include "remote/remote.h"

namespace {

constexpr int kShortFrameMaxData = 123;  // the length byte holds data + tag below 126

int sendShortFrame(Works* w, const char tag[2], const void* data, int n) {
  if (!w->wsockConnected) return 0;
  if (n < 0 || n > kShortFrameMaxData) {
    klog(LOG_ERR, "Frame %c%c of %d bytes refused: at most %d fit a short frame", tag[0], tag[1], n,
         kShortFrameMaxData);
    return -1;
  }
  unsigned char frame[4 + kShortFrameMaxData];
  frame[0] = 0x82;
  frame[1] = static_cast<unsigned char>(n + 2);
  frame[2] = static_cast<unsigned char>(tag[0]);
  frame[3] = static_cast<unsigned char>(tag[1]);
  memcpy(frame + 4, data, static_cast<size_t>(n));
  sleepUs(10);
  std::lock_guard<std::mutex> lk(*w->wsockMut);
  const int fd = w->wsockFD;
  if (fd < 0) return -1;
  const ssize_t rc = write(fd, frame, static_cast<size_t>(n) + 4);
  if (rc != n + 4) {
    klog(LOG_ERR, "Frame %c%c not sent whole: %zd of %d bytes (%s)", tag[0], tag[1], rc, n + 4,
         rc < 0 ? strerror(errno) : "short write");
    return -1;
  }
  return 0;
}

}  // namespace

int sendWebSockCatFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "CA", data, n); }
int sendWebSockSerParFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "PA", data, n); }
int sendWebSockStatusFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "ST", data, n); }
int sendWebSockSerFrame(Works* w, const void* data, int n) { return sendShortFrame(w, "SC", data, n); }
