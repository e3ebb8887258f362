// Writers of /opt/set: the folder stays read-only except for the short window of one write.
#include "platform/optset.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"

namespace {
std::mutex g_optSetMut;

std::string dirOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool remountRw() {
  std::string dir = rootPath("/opt/set");
  errno = 0;
  if (runShell("mount -o remount defaults,rw " + dir) != 0) {
    klog(LOG_ERR, "can't mount rw /opt/set/ error %d", errno);
    return false;
  }
  return true;
}

void remountRo() {
  std::string dir = rootPath("/opt/set");
  errno = 0;
  if (runShell("mount -v -n -o remount -r " + dir) != 0) klog(LOG_ERR, "can't mount ro /opt/set/ error %d", errno);
}
}  // namespace

bool readWholeFile(const std::string& path, std::string& out, size_t maxBytes) {
  out.clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out.size() < maxBytes) out.append(buf, std::min(n, maxBytes - out.size()));
  fclose(f);
  return true;
}

// Writes all of content, through short writes and signals; false on an error (errno kept).
static bool writeAll(int fd, const std::string& content) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

bool atomicWriteFile(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return false;
  bool ok = writeAll(fd, content);
  // The operator's files are world-readable on the unit, like the files fopen() used to create.
  if (ok) ok = fchmod(fd, 0644) == 0;
  if (ok) ok = fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  int dfd = open(dirOf(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

int optSetWriteFile(const std::string& absPath, const std::string& content) {
  std::lock_guard<std::mutex> lk(g_optSetMut);
  if (!remountRw()) return -1;
  std::string path = rootPath(absPath);
  int rc = 0;
  if (!atomicWriteFile(path, content)) {
    klog(LOG_ERR, "can't write %s error %d", absPath.c_str(), errno);
    rc = -2;
  }
  remountRo();
  return rc;
}

int optSetAppendFile(const std::string& absPath, const std::string& content) {
  std::lock_guard<std::mutex> lk(g_optSetMut);
  if (!remountRw()) return -1;
  const std::string path = rootPath(absPath);
  // O_APPEND never touches the bytes already there, however large the file has grown.
  bool created = false;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    created = fd >= 0;
  }
  int rc = 0;
  if (fd < 0) {
    klog(LOG_ERR, "can't open %s for appending error %d", absPath.c_str(), errno);
    rc = -2;
  } else {
    struct stat st;
    const off_t before = fstat(fd, &st) == 0 ? st.st_size : -1;
    bool ok = writeAll(fd, content);
    // The operator's files are world-readable on the unit, whatever the process's umask.
    if (ok && created) ok = fchmod(fd, 0644) == 0;
    if (ok) ok = fsync(fd) == 0;
    const int err = errno;
    // Half an entry is worse than none: a failed append is cut back to what was there.
    if (!ok && before >= 0 && !created && ftruncate(fd, before) == 0) fsync(fd);
    if (close(fd) != 0 && ok) ok = false;
    if (!ok) {
      if (created) unlink(path.c_str());
      klog(LOG_ERR, "can't write %s error %d", absPath.c_str(), err);
      rc = -2;
    } else if (created) {
      int dfd = open(dirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
      }
    }
  }
  remountRo();
  return rc;
}

int optSetRemove(const std::string& absPathPattern) {
  std::lock_guard<std::mutex> lk(g_optSetMut);
  if (!remountRw()) return -1;
  int rc = runShell("rm -f " + rootPath(absPathPattern));
  remountRo();
  return rc == 0 ? 0 : -2;
}
