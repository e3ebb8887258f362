// The four network addresses of the parameter list (0 address, 1 mask, 2 gateway, 3 name server),
// edited octet by octet on the LAN settings' own values.
#pragma once
#include <cstddef>

struct Works;

// "a.b.c.d" of the address.
void LanAddressText(int which, char* out, size_t size);
// The text in three pieces around the octet under the cursor (dots kept with the first and last).
void LanAddressPieces(int which, char* before, char* selected, char* after, size_t size);
// − / + change the octet under the cursor, < / > move the cursor.
void LanEditStep(int which, int action);
// Writes the network settings and restarts the interfaces, off the key thread.
void LanSaveInBackground(Works* works);
