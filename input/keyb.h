// Service keyboard thread.
#pragma once
struct Works;
void keyb(Works* works);
