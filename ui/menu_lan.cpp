// The network address entries of the parameter list, on the values and operations of the LAN settings.
#include "ui/menu_lan.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/works.h"
#include "net/lan.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"

namespace {
struct LanValue {
  uint8_t* octets;
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
// The key thread edits the octets while the supervisor draws them: both go through whole-byte
// atomic accesses on a copy.
struct Octets {
  uint8_t v[4];
};
Octets load(const uint8_t* o) {
  Octets c{};
  for (int i = 0; i < 4; ++i) c.v[i] = std::atomic_ref<uint8_t>(const_cast<uint8_t&>(o[i])).load();
  return c;
}
void storeOctets(uint8_t* o, const Octets& c) {
  for (int i = 0; i < 4; ++i) std::atomic_ref<uint8_t>(o[i]).store(c.v[i]);
}
}  // namespace

void LanAddressText(int which, char* out, size_t size) {
  char text[32];
  Octets c = load(lanValue(which).octets);
  SplitAddrInv(text, c.v);
  snprintf(out, size, "%s", text);
}

void LanAddressPieces(int which, char* before, char* selected, char* after, size_t size) {
  const LanValue v = lanValue(which);
  const Octets o = load(v.octets);
  int cur = *v.cursor;
  if (cur < 0 || cur > 3) cur = 3;
  std::string b, a;
  for (int i = 0; i < cur; ++i) b += std::to_string(o.v[i]) + ".";
  for (int i = cur + 1; i < 4; ++i) a += "." + std::to_string(o.v[i]);
  // A single space stands for an empty piece.
  snprintf(before, size, "%s", b.empty() ? " " : b.c_str());
  snprintf(selected, size, "%d", o.v[cur]);
  snprintf(after, size, "%s", a.empty() ? " " : a.c_str());
}

void LanEditStep(int which, int action) {
  const LanValue v = lanValue(which);
  int cur = *v.cursor;
  if (cur < 0 || cur > 3) cur = 3;
  Octets o = load(v.octets);
  *v.cursor = ModifyIP(action, cur, o.v);
  storeOctets(v.octets, o);
}

void LanSaveInBackground(Works* w) {
  RunFileWrite(w->serviceJobs.get(), [] {
    const int rc = SaveLanParam();
    if (rc != 0) klog(LOG_ERR, "network settings: save ended with %d", rc);
  });
}
