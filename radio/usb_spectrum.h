// The USB spectrum reader's parts, open to the tests: the spectrum line and the reader on a given port.
#pragma once
#include <cstdint>

struct Works;
class UsbPort;

constexpr int kSpectrumLineMax = 1706;

// One spectrum line from count float values (interleaved I and Q): a Blackman-Harris windowed FFT of
// 2048 complex samples (4096 when wide), levels in dB + 192 from the lowest frequency to the highest,
// every second bin of the middle part. Writes 854 (1706) bytes to out and returns the count; 0 when
// fewer samples were given than the FFT takes.
int SpectrumLine(const float* samples, int count, bool wide, uint8_t* out);
// The line of one transfer's 8192 values, sent to the connected peer as an "SP" object.
void fftCalc(const float* samples, int count, Works* works);
// The end of a reader run: error 5, the reader's flag off, the remote threads told.
void ExitBixread(Works* works);
// BIXRead's body on a given USB port (BIXRead itself opens the unit's).
void BIXReadOn(Works* works, UsbPort& usb);
int UsbTransceiverPresentOn(UsbPort& usb);
