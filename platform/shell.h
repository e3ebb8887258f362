// Runs the system's own commands through the shell, with the root's bin/ first on PATH.
#pragma once
#include <string>

// Puts "<root>/bin" first on PATH when the root is simulated.
void shellInitPath();

// system(3); returns the raw status (0 = success). errno is kept for the caller's log line.
int runShell(const std::string& cmd);

// Runs cmd and collects at most maxBytes of its standard output; returns -1 when it cannot start.
int runShellRead(const std::string& cmd, std::string& out, size_t maxBytes = 65536);
