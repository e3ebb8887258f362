// The network address entries while this build has no LAN settings to edit: shown empty, not editable.
#include <cstdio>

#include "platform/log.h"
#include "ui/menu_lan.h"

void LanAddressText(int which, char* out, size_t size) { snprintf(out, size, "%s", "-.-.-.-"); }

void LanAddressPieces(int which, char* before, char* selected, char* after, size_t size) {
  snprintf(before, size, "%s", " ");
  snprintf(selected, size, "%s", "-.-.-.-");
  snprintf(after, size, "%s", " ");
}

void LanEditStep(int which, int action) { klog(LOG_ERR, "network address %d: no LAN settings in this build", which); }

void LanSaveInBackground(Works* works) { klog(LOG_ERR, "network settings: no LAN settings in this build, not saved"); }
