// Helper commands with a time limit: spawned in their own process group so a hung or flooding
// helper, and anything it started, can be ended as a whole.
#include "platform/timed_command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait, so a raised cancel flag is seen promptly.
constexpr int kSliceMs = 20;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : left > kSliceMs ? kSliceMs : static_cast<int>(left);
}

bool cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

int decodeStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

}  // namespace

TimedCommand runCommandTimed(const std::string& cmd, std::chrono::milliseconds limit, size_t maxBytes,
                             const std::function<bool(const std::string&)>& enough, const std::atomic<bool>* cancel) {
  TimedCommand r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  // Its own group, so the shell and whatever it runs go together; a plain signal state, since the
  // program ignores SIGPIPE and a flooding helper must die when the pipe closes.
  sigset_t none, pipeDefault;
  sigemptyset(&none);
  sigemptyset(&pipeDefault);
  sigaddset(&pipeDefault, SIGPIPE);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipeDefault);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return r;
  }

  const auto deadline = Clock::now() + limit;
  r.outcome = TimedCommand::kExited;
  char buf[4096];
  for (;;) {
    if (cancelled(cancel)) {
      r.outcome = TimedCommand::kCancelled;
      break;
    }
    if (Clock::now() >= deadline) {
      r.outcome = TimedCommand::kTimedOut;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int n = poll(&p, 1, msLeft(deadline));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    const ssize_t got = read(fds[0], buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;  // end of output
    r.out.append(buf, std::min(static_cast<size_t>(got), maxBytes - r.out.size()));
    if (r.out.size() >= maxBytes || (enough && enough(r.out))) {
      r.outcome = TimedCommand::kCut;
      break;
    }
  }
  close(fds[0]);

  // Reap it: a helper that ended its output ends by itself (until the limit); every other one is
  // stopped now, with its whole group.
  int st = 0;
  if (r.outcome == TimedCommand::kExited) {
    for (;;) {
      const pid_t w = waitpid(pid, &st, WNOHANG);
      if (w == pid) {
        r.status = decodeStatus(st);
        return r;
      }
      if (w < 0 && errno != EINTR) return r;
      if (cancelled(cancel) || Clock::now() >= deadline) {
        r.outcome = cancelled(cancel) ? TimedCommand::kCancelled : TimedCommand::kTimedOut;
        break;
      }
      poll(nullptr, 0, std::min(5, msLeft(deadline)));
    }
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.status = -1;
  return r;
}
