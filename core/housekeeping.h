// Housekeeping: firmware-update markers, temperature log, board temperature, date and time.
#pragma once
#include <cstddef>
#include <string>

struct Works;

// Marker clean-up, once, 30 s after the loading countdown.
void AggFWThread(Works* works);

// mode -1 deletes /opt/set/LOGtemp.txt, 0 adds an entry, 1 adds an alarm entry (with the values of
// the moment of the call). Returns 0 on success, -1 when nothing was written; with a file writer in
// the record the write is handed to it and 0 returned.
int LogTempFunction(Works* works, int mode);

// cpuTemp and gpuTemp from "my_temp"; a failing helper is logged once and the last values kept.
// Output with a CPU line but no usable GPU line updates cpuTemp and keeps gpuTemp (logged once).
void ReadCPUTemp(Works* works);
// Parses one line of "my_temp"'s output: the decimal number at its start; false when there is
// none or it is not finite (the value is then left alone).
bool parseNumber(const std::string& s, float& out);
// Refreshes the date text when the second has changed.
void ReadDataOra(Works* works);
// Copies the date text (always NUL-terminated).
void getDataOra(Works* works, char* out, size_t size);

float ConversionCelsius_to_Fahrenheit(float celsius);
