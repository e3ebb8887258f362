// The network address entries while this build has no LAN settings to edit: the values show as the
// unit shows an address it has not read (all octets 0), and cannot be changed or saved.
#include <cstdio>

#include "platform/log.h"
#include "ui/menu_lan.h"

void LanAddressText(int which, char* out, size_t size) { snprintf(out, size, "%s", "0.0.0.0"); }

void LanAddressPieces(int which, char* before, char* selected, char* after, size_t size) {
  snprintf(before, size, "%s", "0.0.0.");
  snprintf(selected, size, "%s", "0");
  snprintf(after, size, "%s", " ");
}

void LanEditStep(int which, int action) { klog(LOG_ERR, "network address %d: no LAN settings in this build", which); }

void LanSaveInBackground(Works* works) { klog(LOG_ERR, "network settings: no LAN settings in this build, not saved"); }
