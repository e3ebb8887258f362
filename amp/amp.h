// Amplifier subsystem: the link thread, its command queue, the reply decoder and the GPIO thread.
#pragma once
#include "amp/link.h"
#include "amp/replies.h"

struct Works;

void GPIO(Works* works);
void ReadVentolaFile(Works* works);
