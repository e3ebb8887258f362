// Test helper: how a test starts one of our programs as a child process.
// In a cross build the programs are the board's and run through the same emulator as the test itself
// (KORVANE_EMULATOR, from CMake's cross-compiling emulator); natively the prefix is empty.
#pragma once
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

#ifndef KORVANE_EMULATOR
#define KORVANE_EMULATOR ""
#endif

namespace testlib {

inline std::vector<std::string> emulatorPrefix() {
  std::vector<std::string> words;
  std::istringstream in(KORVANE_EMULATOR);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The prefix as text for a shell command line, with a trailing space when not empty.
inline std::string emulatorCommand() {
  std::string cmd;
  for (const auto& w : emulatorPrefix()) cmd += "\"" + w + "\" ";
  return cmd;
}

// Replaces the calling (child) process with `binary args...`, through the emulator when there is one.
// Returns only when exec failed.
inline void execProgram(const std::string& binary, const std::vector<std::string>& args) {
  std::vector<std::string> words = emulatorPrefix();
  words.push_back(binary);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
}

}  // namespace testlib
