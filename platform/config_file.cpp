// The size rule of the unit's configuration files.
#include "platform/config_file.h"

#include <cerrno>

#include "platform/optset.h"

bool readConfigFile(const std::string& absPath, std::string& out, const char* file) {
  if (!readWholeFile(absPath, out, kConfigFileMaxBytes + 1)) {
    const int err = errno;
    if (err != ENOENT) klog(LOG_ERR, "%s: %s, not read", file, fileErrorText(err));
    errno = err;
    return false;
  }
  if (out.size() > kConfigFileMaxBytes) {
    out.resize(kConfigFileMaxBytes);
    size_t nl = out.rfind('\n');
    out.resize(nl == std::string::npos ? 0 : nl + 1);
    klog(LOG_ERR, "%s: larger than %zu bytes, only its first %zu bytes are read", file, kConfigFileMaxBytes,
         out.size());
  }
  return true;
}
