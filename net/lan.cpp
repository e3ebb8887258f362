// LAN settings of the board. The reader of /etc/network/interfaces is still to come: it reads nothing.
#include "net/lan.h"

void ReadLanParam(Works* works) {}
