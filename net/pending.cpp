// LAN settings reader that later work fills in.
#include "net/lan.h"

void ReadLanParam(Works* works) {}
