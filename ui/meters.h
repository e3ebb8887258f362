// The main screen's content: the two needle meters with their peaks, the spectrum plot, the
// frequency label and the TX lamp, drawn over the mode's background on every supervisor pass.
#pragma once

struct Works;

// Enters the display mode in meterPage (1-3 meters, 4-5 plot): plot span and range, background image.
void SetWorkImg(Works* works);

// Both meters, their labels and readings, and the frequency (meterPage 1 to 3).
void DrawMeters(Works* works);

// The plot's grid settings to their defaults (the supervisor's start).
void InitGrid(Works* works);
// The plot: grid, labels, the level trace and the frequency (meterPage 4 and 5).
void DrawGrid(Works* works);
void DrawFreq(Works* works);
// The red "TX" lamp while the amplifier transmits; drawn last on the button bar.
void ViewStatusTX(Works* works);

struct PlotPoint {
  float x;
  float y;
};
// Pixel position of spectrum point x at `level` dB on the grid spanning lowLevel..highLevel.
PlotPoint CalculatePoint(const Works* works, float lowLevel, float highLevel, float x, float level);

// Scale position (0..60) of an SWR reading on the SWR meter.
float CalcolaSWR(float swr);
float ConvertW_to_dBm(float watts);
// A new reading for the left (forward) and right meter's peak needle.
void CalcolaPwrPeak(Works* works, float value);
void CalcolaPwrPeak2(Works* works, float value);
// Ages both peak needles by one pass that lasted elapsedMs.
void PeakDecay(Works* works, double elapsedMs);

// The reading of a power as shown under a meter: "%02.01fW", or dBm when PowerUnits is set.
void FormatPower(const Works* works, float watts, char* out, int size);
// The frequency label's text ("14.070MHz", "7.000kHz", "999Hz"); empty for 0.
void FormatFrequency(double hz, char* out, int size);
