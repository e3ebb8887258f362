// The network address entries of the parameter list, on the values and operations of the LAN settings.
#include "ui/menu_lan.h"

#include <cstdio>
#include <string>

#include "core/works.h"
#include "net/lan.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"
#include "ui/menu.h"

namespace {
struct LanValue {
  LanOctet* octets;
  std::atomic<int>* cursor;
};
LanValue lanValue(int which) {
  switch (which) {
    case 1: return {NetMask_v, &CntNetMask};
    case 2: return {Gateway_v, &CntGateway};
    case 3: return {DNS_v, &CntDNS};
    default: return {IP_v, &CntIP};
  }
}
int cursorOf(const LanValue& v) {
  const int c = *v.cursor;
  return c < 0 || c > 3 ? 3 : c;
}
}  // namespace

void LanAddressText(int which, char* out, size_t size) {
  char text[32];
  SplitAddrInv(text, lanValue(which).octets);
  snprintf(out, size, "%s", text);
}

void LanAddressPieces(int which, char* before, char* selected, char* after, size_t size) {
  const LanValue v = lanValue(which);
  const int cur = cursorOf(v);
  int o[4];
  for (int i = 0; i < 4; ++i) o[i] = v.octets[i].load();
  std::string b, a;
  for (int i = 0; i < cur; ++i) b += std::to_string(o[i]) + ".";
  for (int i = cur + 1; i < 4; ++i) a += "." + std::to_string(o[i]);
  // A single space stands for an empty piece.
  snprintf(before, size, "%s", b.empty() ? " " : b.c_str());
  snprintf(selected, size, "%d", o[cur]);
  snprintf(after, size, "%s", a.empty() ? " " : a.c_str());
}

void LanEditStep(int which, int action) {
  const LanValue v = lanValue(which);
  LAN_vect = v.octets;
  LAN_idx = cursorOf(v);
  *v.cursor = ModifyIP(action, cursorOf(v), v.octets);
  LAN_idx = v.cursor->load();
}

void LanSaveInBackground(Works* w) {
  // The network restart takes seconds: it runs on the menus' worker, the keys go on meanwhile.
  RunFileWrite(ServiceJobs(w), [] {
    const int rc = SaveLanParam();
    if (rc != 0) klog(LOG_ERR, "network settings: save and restart ended with %d", rc);
  });
}
