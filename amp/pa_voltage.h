// PA supply voltage from the GPIO peripheral's reading byte: header-only, so core can use it without linking amp.
#pragma once

#include "amp/amp_fields.h"

// Volts from the 8-bit reading: byte × 3.3 × D / 255 / 18, the divider D being 348 on the model whose
// second configuration byte is 0x31 and 118 on the others.
inline float PaVoltageFromReading(int byte, int microCfgB) {
  const float d = microCfgB == kMicroCfg120W ? 348.0f : 118.0f;
  return static_cast<float>(byte) * 3.3f * d / 255.0f / 18.0f;
}
