// Fuzz target: any setup file content is read without overrun and written back as 62 well-formed lines.
#include <sys/stat.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/root.h"

namespace {
std::string g_root;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Each input is written to a file and read back: in memory (/dev/shm) that costs microseconds,
  // on a disk's truncate and write it costs milliseconds.
  char shm[] = "/dev/shm/korvane-fuzz-setup-XXXXXX";
  char tmp[] = "/tmp/korvane-fuzz-setup-XXXXXX";
  const char* dir = mkdtemp(shm);
  if (!dir) dir = mkdtemp(tmp);
  if (!dir) abort();
  g_root = dir;
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  });
  std::string set = g_root + "/opt";
  mkdir(set.c_str(), 0755);
  set += "/set";
  mkdir(set.c_str(), 0755);
  setRootPrefix(g_root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = fopen((g_root + "/opt/set/setup.txt").c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  // One record for the whole run (it is large): readSetup lays every default again first.
  static std::mutex a, b, c;
  static auto w = std::make_unique<Works>();
  static auto s = std::make_unique<Mirtsetup>();
  w->setup = s.get();
  w->serMut = &a;
  w->wsockMut = &b;
  w->connMut = &c;
  readSetup(w.get());
  std::string out = setupFileText(w.get());
  size_t lines = 0;
  for (char ch : out) {
    if (ch == '\n') ++lines;
    if (ch == '\0') abort();
  }
  if (lines != 62) abort();
  return 0;
}
