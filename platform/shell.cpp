// Shell commands: the unit's way of reaching mount, rm, lsusb and its helper scripts.
#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/root.h"

extern char** environ;

void shellInitPath() {
  if (!rootIsSimulated()) return;
  std::string path = rootPath("/bin");
  if (const char* old = std::getenv("PATH")) path += std::string(":") + old;
  setenv("PATH", path.c_str(), 1);
}

pid_t startShell(const std::string& cmd, bool ownGroup) {
  // Not system(3): it ignores SIGINT and SIGQUIT in the caller while the command runs, so a stop
  // asked for during a remount would be lost. The command starts with the stop signals at their
  // defaults and none blocked, whatever the caller has set for itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (ownGroup) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attr, flags);
  char sh[] = "sh", dashC[] = "-c";
  std::string text = cmd;
  char* argv[] = {sh, dashC, text.data(), nullptr};
  pid_t pid = 0;
  const int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return pid;
}

int runShell(const std::string& cmd) {
  const pid_t pid = startShell(cmd, false);
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string shellStatusText(int rc) {
  char text[64];
  if (rc == -1)
    snprintf(text, sizeof text, "could not be run");
  else if (rc > 128)
    snprintf(text, sizeof text, "ended by signal %d", rc - 128);
  else
    snprintf(text, sizeof text, "exit status %d", rc);
  return text;
}

int runShellRead(const std::string& cmd, std::string& out, size_t maxBytes) {
  out.clear();
  FILE* p = popen(cmd.c_str(), "re");
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
