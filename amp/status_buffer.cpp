// The 52-character status buffer: the amplifier's state as the remote peer's status line reads it.
#include <cstdio>
#include <cstring>
#include <shared_mutex>

#include "amp/replies.h"
#include "core/works.h"
#include "ui/errors.h"

void CreaBufferDiStato(Works* w, char* out) {
  char t[320];
  memset(t, ' ', sizeof t);
  const uint64_t f = w->freq;
  char band[8] = "----";
  {
    std::shared_lock lk(w->tablesMut);
    int n = w->numBands;
    if (n > kBandRows) n = kBandRows;
    for (int i = 0; i < n; ++i) {
      const BandRow& r = w->tabAntenna[i];
      if (r.freqMin <= f && f <= r.freqMax) {
        snprintf(band, sizeof band, "%.7s", r.name);
        break;
      }
    }
  }
  snprintf(t, sizeof t, "%-4.4s", band);
  const int mw = w->ModeWorkIdx;
  t[4] = mw == 1 ? '1' : mw == 2 ? '2' : '0';
  t[5] = static_cast<char>(w->Attenuator + '0');
  t[6] = static_cast<char>(w->antennaIdx + '0');
  t[7] = w->bypass ? '1' : '0';
  t[8] = (static_cast<uint8_t>(w->TUNEenabled.load()) & 0x80) ? 'N' : (w->atuBypass ? 'B' : 'T');
  t[9] = w->tuneState != 0 ? '1' : '0';
  // Each field at its fixed place; a wider value is cut by the field written after it.
  snprintf(t + 10, sizeof t - 10, "%06.02f", static_cast<double>(w->swr.load()));
  snprintf(t + 16, sizeof t - 16, "%06.2f", static_cast<double>(w->pwrFwd.load()));
  snprintf(t + 22, sizeof t - 22, "%06.02f", static_cast<double>(w->pwrPW.load()));
  const float t1 = w->temp1, t2 = w->temp2;
  snprintf(t + 28, sizeof t - 28, "%04.01f", static_cast<double>(t1 > t2 ? t1 : t2));
  snprintf(t + 32, sizeof t - 32, "%4.1f", static_cast<double>(CalvTensVadcAmp(w, w->gpioReading[3])));
  snprintf(t + 36, sizeof t - 36, "%04.01f", static_cast<double>(w->rawCurrent / 4096.0f * 14.05f));
  snprintf(t + 40, sizeof t - 40, "%02d", w->NumBanco.load());
  const int last = LastError(w);
  t[42] = last < 0 ? '0' : static_cast<char>(last + 1);
  memset(t + 43, '0', 8);
  t[51] = ';';
  memcpy(out, t, kStatusBufferLen);
  out[kStatusBufferLen] = 0;
}
