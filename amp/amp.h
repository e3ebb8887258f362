// Amplifier subsystem: the link thread, its command queue and the GPIO thread.
#pragma once
struct Works;

void Linear(Works* works);
void GPIO(Works* works);
void InitMicroCmd(Works* works);
void ReadVentolaFile(Works* works);
