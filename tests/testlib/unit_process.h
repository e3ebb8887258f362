// Test helpers: the real korvane program run as a process in a simulated root.
#pragma once
#include <sys/types.h>
#include <chrono>
#include <string>

namespace testlib {

// Starts `binary --root root` with its working directory in workDir, standard error to
// <root>/var/log/stderr.txt and KORVANE_STARTUP_SCALE set to startupScale.
pid_t startUnit(const std::string& binary, const std::string& root, const std::string& workDir,
                const char* startupScale);

// Sends sig and waits; the exit status, or -1 when it did not end within the limit (it is then killed).
int stopUnit(pid_t pid, int sig, std::chrono::milliseconds limit, double* seconds = nullptr);

std::string slurp(const std::string& path);

// A loopback port nobody listens on, within what the setup file takes for TcpPort (1..32767, below the
// system's ephemeral range, so a port the system hands out would be refused). -1 when none is free.
int freeSetupPort();

}  // namespace testlib
