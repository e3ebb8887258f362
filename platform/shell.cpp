// Shell commands: the unit's way of reaching mount, rm, lsusb and its helper scripts.
#include "platform/shell.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include "platform/root.h"

void shellInitPath() {
  if (!rootIsSimulated()) return;
  std::string path = rootPath("/bin");
  if (const char* old = std::getenv("PATH")) path += std::string(":") + old;
  setenv("PATH", path.c_str(), 1);
}

int runShell(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  int saved = errno;
  if (rc != -1 && WIFEXITED(rc)) rc = WEXITSTATUS(rc);
  errno = saved;
  return rc;
}

int runShellRead(const std::string& cmd, std::string& out, size_t maxBytes) {
  out.clear();
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
    if (out.size() < maxBytes) out.append(buf, std::min(n, maxBytes - out.size()));
  }
  int rc = pclose(p);
  if (rc != -1 && WIFEXITED(rc)) rc = WEXITSTATUS(rc);
  return rc;
}
