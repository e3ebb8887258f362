// Housekeeping: firmware-update markers, temperature log, board temperature, date and time.
#pragma once
struct Works;

void AggFWThread(Works* works);
