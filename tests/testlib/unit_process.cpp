// Test helpers: starting and stopping the real program.
#include "tests/testlib/unit_process.h"

#include "tests/testlib/emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testlib {

int freeSetupPort() {
  // Test processes started one after the other have neighbouring ids: spread them, or the second port one
  // takes (free when checked, bound by its unit a moment later) is the first of the next.
  static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 101u % 12000u};
  for (int tries = 0; tries < 2000; ++tries) {
    const int port = static_cast<int>(20000 + next++ % 12000);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;
  }
  return -1;
}

pid_t startUnit(const std::string& binary, const std::string& root, const std::string& workDir,
                const char* startupScale) {
  pid_t pid = fork();
  if (pid == 0) {
    int err = open((root + "/var/log/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, 2);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    setenv("KORVANE_STARTUP_SCALE", startupScale, 1);
    execProgram(binary, {"--root", root});
    _exit(127);
  }
  return pid;
}

int stopUnit(pid_t pid, int sig, std::chrono::milliseconds limit, double* seconds) {
  auto t0 = std::chrono::steady_clock::now();
  kill(pid, sig);
  int status = 0;
  while (std::chrono::steady_clock::now() - t0 < limit) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      if (seconds) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace testlib
