// The supervisor: the 10 ms pass that follows the frequency and composes the screen.
#pragma once
struct Works;

void timer(Works* works);
