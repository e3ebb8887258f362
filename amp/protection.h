// Protection, attenuator, thermistor and fan control of the amplifier, run on each status reply.
#pragma once
#include <string_view>
#include <vector>

#include "amp/protection_fields.h"
#include "amp/queue/queue.h"

struct Works;

// Thermistor table: 34 (°C, kΩ) pairs from -40 °C to 125 °C in 5 °C steps.
extern const float K_T_R[68];

// The thermistor's converter has 12 bits: a larger number is no reading at all.
constexpr int kThermistorReadingMax = 4095;

// 12-bit thermistor reading in, °C out, clamped to -10..80.
float CalcolaTemp(int reading);

// Calibration factor K0..K3 (type 0..3) of the config row governing `freq`; defaults without rows.
float SearchK(Works* works, int type);

// Loads /opt/set/ventola.txt into works->tabVentola (empty when missing).
void ReadVentolaFile(Works* works);
// Parses the fan file's text; bad lines are logged and skipped. Used by ReadVentolaFile and the fuzzer.
std::vector<VentolaEntry> ParseVentolaText(std::string_view text);

// Fan step from the higher temperature, with hysteresis on the way down; queues "FN1%03d;".
void searchPercentVentola(Works* works);
// Temperature of the first fan entry with this step, 0 when none.
float SearchTemperatureFromVentola(Works* works, int step);

// Over-temperature latch on MaxTemperature / Isteresi1; run after searchPercentVentola.
void ControlloSovraTemperatura(Works* works);

// "AT00;".."AT11;" for value 0..3 (3 dB pad first digit, 2 dB pad second); out holds >= 6 chars.
void AttenuatorCmdText(int value, char* out);
// Sends the attenuator command on the link (link thread only), recording state as the last command.
void SetAttenuatorCMD(Works* works, int value, int state);
