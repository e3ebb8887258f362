// Runs the system's own commands through the shell, with the root's bin/ first on PATH.
#pragma once
#include <sys/types.h>

#include <string>

// Puts "<root>/bin" first on PATH when the root is simulated.
void shellInitPath();

// Runs cmd with "/bin/sh -c" and waits for it. Returns its exit status (0 = success), 128 + the
// signal that ended it, or -1 when it could not be started (errno kept). The caller's handling of
// SIGINT and SIGTERM stays in force while it runs.
int runShell(const std::string& cmd);

// Starts cmd as runShell does without waiting for it; with ownGroup in a process group of its own (so that
// kill(-pid, ...) reaches everything it started). The pid, or -1 with errno set.
pid_t startShell(const std::string& cmd, bool ownGroup);

// runShell's result in words for a log line: "exit status 32", "ended by signal 9", ...
std::string shellStatusText(int rc);

// Runs cmd and collects at most maxBytes of its standard output; returns -1 when it cannot start.
int runShellRead(const std::string& cmd, std::string& out, size_t maxBytes = 65536);
