// Fuzz target: any interfaces file is read and written back without overrun; a save changes at most
// the four value lines, never an address it read, and saving the saved file again changes nothing.
#include <sys/stat.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "net/lan.h"
#include "platform/root.h"

namespace {
std::string g_root;

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> out(1);
  for (char c : s) {
    out.back() += c;
    if (c == '\n') out.emplace_back();
  }
  return out;
}

void writeFile(const std::string& text) {
  std::ofstream f(g_root + "/etc/network/interfaces", std::ios::binary | std::ios::trunc);
  f << text;
}

void checkTexts() {
  for (const char* t : {IP, NetMask, Gateway, DNS})
    if (!memchr(t, '\0', 32)) abort();
}

// The four octets of the first "a.b.c.d" after the keyword of a line, or false.
bool lineAddress(const std::string& line, uint8_t out[4]) {
  size_t i = line.find_first_not_of(" \t");
  if (i == std::string::npos) return false;
  i = line.find_first_of(" \t", i);
  if (i == std::string::npos) return false;
  i = line.find_first_not_of(" \t", i);
  if (i == std::string::npos) return false;
  size_t end = line.find_first_of("/ \t\r\n", i);
  std::string addr = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
  LanOctet o[4];
  if (SplitAddr(addr.c_str(), o) != 0) return false;
  for (int k = 0; k < 4; ++k) out[k] = o[k];
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char shm[] = "/dev/shm/korvane-fuzz-lan-XXXXXX";
  char tmp[] = "/tmp/korvane-fuzz-lan-XXXXXX";
  const char* dir = mkdtemp(shm);
  if (!dir) dir = mkdtemp(tmp);
  if (!dir) abort();
  g_root = dir;
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  });
  std::filesystem::create_directories(g_root + "/etc/network");
  std::filesystem::create_directories(g_root + "/bin");
  for (const char* cmd : {"mount", "sudo"}) {
    const std::string p = g_root + "/bin/" + cmd;
    std::ofstream(p) << "#!/bin/sh\nexit 0\n";
    chmod(p.c_str(), 0755);
  }
  setRootPrefix(g_root);
  setenv("PATH", (g_root + "/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  writeFile(in);
  const int rc = ReadLanParam();
  checkTexts();
  std::string out, why;
  const bool text = lanFileText(in, out, why);
  if ((rc == 0) != text) abort();  // the reader and the writer agree on what a text file is
  if (!text) return 0;
  // Unedited: only the value lines may change, each keeping the address it had.
  std::vector<std::string> a = lines(in), b = lines(out);
  if (a.size() != b.size()) abort();
  int changed = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    ++changed;
    uint8_t before[4], after[4];
    if (lineAddress(a[i], before) && (!lineAddress(b[i], after) || memcmp(before, after, 4) != 0)) abort();
  }
  if (changed > 4) abort();
  // Edited, saved and read back: the file holds the octets, and a second save is the same file.
  for (LanOctet* o : {IP_v, NetMask_v, Gateway_v, DNS_v}) ModifyIP(kLanOctetUp, static_cast<int>(size % 4), o);
  std::string saved;
  if (!lanFileText(in, saved, why)) abort();
  // Now and then through the whole save (remount and restart stand-ins, temporary file, rename).
  if (size % 8 == 0) {
    if (SaveLanParam() != 0) abort();
    std::ifstream f(g_root + "/etc/network/interfaces", std::ios::binary);
    const std::string onDisk((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (onDisk != saved) abort();
  } else {
    writeFile(saved);
  }
  if (ReadLanParam() != 0) abort();
  checkTexts();
  std::string again;
  if (!lanFileText(saved, again, why) || again != saved) abort();
  return 0;
}
