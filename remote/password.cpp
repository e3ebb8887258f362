// The shared password of the remote link, and the remote menu's helpers.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/config_file.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "remote/remote.h"

namespace {
// Remote heads in the field were built with this one; it stays the default so they keep connecting.
constexpr char kDefaultPassword[] = "tarabumbalin";
constexpr char kPasswordFile[] = "/opt/set/wsock_password.txt";
}  // namespace

void LoadWsockPassword(Works* w) {
  std::string text, chosen;
  if (readConfigFile(rootPath(kPasswordFile), text, "wsock_password.txt")) {
    LineComplaints complaints("wsock_password.txt");
    bool found = false;
    forEachConfigLine(text, 1024, complaints, [&](char* line, int lineNo) {
      if (found || line[0] == ';' || line[0] == '\0') return;
      found = true;
      if (strlen(line) >= sizeof w->wsockPassword)
        complaints.refuse(lineNo, "password longer than %zu characters", sizeof w->wsockPassword - 1);
      else
        chosen = line;
    });
  }
  const bool isDefault = chosen.empty();
  snprintf(w->wsockPassword, sizeof w->wsockPassword, "%s", isDefault ? kDefaultPassword : chosen.c_str());
  w->wsockDefaultPassword = isDefault ? 1 : 0;
  if (isDefault) klog(LOG_ERR, "remote link uses the default password: set one in %s", kPasswordFile);
}

int Find_Remote_Settings(Works* w) {
  if (!w->hooks.usbTransceiverPresent || w->hooks.usbTransceiverPresent(w) != 1) return 1;
  if (!w->hooks.verifyCat || w->hooks.verifyCat(w) != 0) {
    ktrace("---CAT: Unable to open device %s\n", w->setup ? w->setup->CatPort : "");
    return 2;
  }
  if (!w->hooks.verifyAudioBIX || w->hooks.verifyAudioBIX(w) < 1) return 3;
  return 0;
}

void RemoteConnection() {
  ktrace("launching ssh\n");
  klog(LOG_INFO, "launching ssh");
  const int rc = runShell(rootPath("/opt/sshshell"));
  if (rc != 0) klog(LOG_ERR, "/opt/sshshell: %s", shellStatusText(rc).c_str());
  klog(LOG_INFO, "launched ssh");
}
