// Root prefix: the one seam that lets the same binary run on the unit and in a simulated tree.
#include "platform/root.h"

#include <cstdlib>

namespace {
std::string g_root = "/";
}  // namespace

void setRootPrefix(std::string_view root) {
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  g_root = r.empty() ? "/" : r;
}

void initRootFromEnv() {
  const char* env = std::getenv("KORVANE_ROOT");
  if (env && *env) setRootPrefix(env);
}

const std::string& rootPrefix() { return g_root; }

bool rootIsSimulated() { return g_root != "/"; }

std::string rootPath(std::string_view absPath) {
  if (g_root == "/" || absPath.empty() || absPath.front() != '/') return std::string(absPath);
  return g_root + std::string(absPath);
}
