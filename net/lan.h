// LAN settings of the board.
#pragma once
struct Works;
void ReadLanParam(Works* works);
