// Writers of /opt/set: the folder stays read-only except for the short window of one write.
#include "platform/optset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

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

// errno means nothing after a shell command: the log line carries the command's own status.
bool remountRw() {
  std::string dir = rootPath("/opt/set");
  const int rc = runShell("mount -o remount defaults,rw " + dir);
  if (rc != 0) {
    klog(LOG_ERR, "can't mount rw /opt/set/ error: mount %s", shellStatusText(rc).c_str());
    return false;
  }
  return true;
}

void remountRo() {
  std::string dir = rootPath("/opt/set");
  const int rc = runShell("mount -v -n -o remount -r " + dir);
  if (rc != 0) klog(LOG_ERR, "can't mount ro /opt/set/ error: mount %s", shellStatusText(rc).c_str());
}

// "<name>.tmpXXXXXX", the temporaries of atomicWriteFile.
bool isTemporaryName(const char* name) {
  const char* t = strstr(name, ".tmp");
  if (!t || t == name) return false;
  while (const char* again = strstr(t + 1, ".tmp")) t = again;
  return strlen(t + 4) == 6;
}
}  // namespace

int openRegularFile(const std::string& path) {
  // Non-blocking, so that a FIFO in the file's place answers at once instead of holding start-up.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  // Reads of a regular file never block; clearing the flag keeps read()'s plain meaning.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

const char* fileErrorText(int err) {
  switch (err) {
    case ENOENT: return "missing";
    case EISDIR: return "a folder, not a file";
    case EINVAL: return "not a regular file";
    default: return strerror(err);
  }
}

bool readWholeFile(const std::string& path, std::string& out, size_t maxBytes) {
  out.clear();
  const int fd = openRegularFile(path);
  if (fd < 0) return false;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      out.clear();
      errno = err;
      return false;
    }
    if (n == 0 || out.size() >= maxBytes) break;
    out.append(buf, std::min(static_cast<size_t>(n), maxBytes - out.size()));
  }
  close(fd);
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
  // Close-on-exec: a command started by another thread meanwhile must not hold the temporary open.
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
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
  int dfd = open(dirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

int optSetRemoveStaleTemporaries() {
  const std::string dir = rootPath("/opt/set");
  std::vector<std::string> stale;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (!isTemporaryName(e->d_name)) continue;
      struct stat st;
      const std::string path = dir + "/" + e->d_name;
      if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) stale.push_back(e->d_name);
    }
    closedir(d);
  }
  if (stale.empty()) return 0;
  std::lock_guard<std::mutex> lk(g_optSetMut);
  if (!remountRw()) return -1;
  int removed = 0;
  for (const std::string& name : stale) {
    if (unlink((dir + "/" + name).c_str()) == 0) {
      ++removed;
      klog(LOG_INFO, "removed /opt/set/%s, left by a write that never ended", name.c_str());
    } else {
      klog(LOG_ERR, "can't remove /opt/set/%s error %d", name.c_str(), errno);
    }
  }
  remountRo();
  return removed;
}

int optSetSetAside(const std::string& absPath, std::string& asideAbsPath) {
  std::lock_guard<std::mutex> lk(g_optSetMut);
  if (!remountRw()) return -1;
  int rc = -2;
  // Never over an earlier one: each unreadable file keeps its own name.
  for (int i = 0; i < 100 && rc != 0; ++i) {
    asideAbsPath = absPath + ".unreadable" + (i ? "." + std::to_string(i) : std::string());
    struct stat st;
    if (lstat(rootPath(asideAbsPath).c_str(), &st) == 0) continue;
    if (rename(rootPath(absPath).c_str(), rootPath(asideAbsPath).c_str()) == 0)
      rc = 0;
    else
      break;
  }
  if (rc != 0) klog(LOG_ERR, "can't move %s aside error %d", absPath.c_str(), errno);
  remountRo();
  return rc;
}
