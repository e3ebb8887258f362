// Thermistor and calibration conversions, fan step, over-temperature latch and attenuator commands.
#include "amp/protection.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "amp/link.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/config_file.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "ui/errors.h"

const float K_T_R[68] = {-40, 347.808f, -35, 248.591f, -30, 179.973f, -25, 131.832f, -20, 97.679f, -15, 73.119f,
                         -10, 55.301f,  -5,  42.257f,  0,   32.582f,  5,   25.324f,  10,  19.847f, 15,  15.679f,
                         20,  12.478f,  25,  10.0f,    30,  8.068f,   35,  6.552f,   40,  5.353f,  45,  4.399f,
                         50,  3.635f,   55,  3.02f,    60,  2.521f,   65,  2.115f,   70,  1.783f,  75,  1.51f,
                         80,  1.284f,   85,  1.096f,   90,  0.939f,   95,  0.808f,   100, 0.698f,  105, 0.605f,
                         110, 0.527f,   115, 0.46f,    120, 0.403f,   125, 0.354f};

namespace {
constexpr int kPairs = 34;
constexpr float kTempMin = -10.0f, kTempMax = 80.0f;
}  // namespace

float CalcolaTemp(int reading) {
  // 4095 is an open thermistor: infinite resistance. Above it is no reading; the decoder rejects it.
  if (reading >= kThermistorReadingMax) return kTempMin;
  if (reading < 0) reading = 0;
  const float R = reading * 10.0f / static_cast<float>(4095 - reading);
  float t = kTempMax;  // at or below the last entry's resistance
  for (int i = 0; i < kPairs; ++i) {
    const float ti = K_T_R[2 * i], ri = K_T_R[2 * i + 1];
    if (ri < R) {
      if (i == 0) {
        t = ti;
      } else {
        const float tp = K_T_R[2 * i - 2], rp = K_T_R[2 * i - 1];
        t = tp + (ti - tp) * (R - rp) / (ri - rp);
      }
      break;
    }
  }
  return std::clamp(t, kTempMin, kTempMax);
}

float SearchK(Works* w, int type) {
  if (w->numConfigRows.load() <= 0) {
    switch (type) {
      case 0: return 5.1565789e-6f;
      case 1: return 3.3262754e-6f;
      case 2: return 5.5078103e-6f;
      case 3: return -0.007f;
      default: return 1.0f;
    }
  }
  ConfigRow row;
  if (!GetConfigRowFor(w, w->freq.load(), &row, nullptr)) return 1.0f;
  switch (type) {
    case 0: return row.K0;
    case 1: return row.K1;
    case 2: return row.K2;
    case 3: return row.K3;
    default: return 1.0f;
  }
}

std::vector<VentolaEntry> ParseVentolaText(std::string_view text) {
  std::vector<VentolaEntry> tab;
  LineComplaints complaints("ventola.txt");
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    const char* p = line.c_str();
    char* after = nullptr;
    const float t = std::strtof(p, &after);
    if (after == p || !std::isfinite(t)) {
      complaints.refuse(lineNo, "no temperature, line skipped");
      continue;
    }
    p = after;
    const float s = std::strtof(p, &after);
    if (after == p || !std::isfinite(s) || s < 0.0f || s > 100.0f) {
      complaints.refuse(lineNo, "fan step missing or outside 0..100, line skipped");
      continue;
    }
    if (after[strspn(after, " \t")] != '\0') {
      complaints.refuse(lineNo, "more than a temperature and a fan step, line skipped");
      continue;
    }
    VentolaEntry e;
    e.temp = t;
    e.step = static_cast<int>(s);
    tab.push_back(e);
  }
  complaints.summary();
  return tab;
}

void ReadVentolaFile(Works* w) {
  std::string text;
  if (!readConfigFile(rootPath("/opt/set/ventola.txt"), text, "ventola.txt")) {
    ktrace("Ventola File not FOUND!!");
    klog(LOG_ERR, "can't open /opt/set/ventola.txt");
    w->tabVentola.clear();
    return;
  }
  w->tabVentola = ParseVentolaText(text);
  ktrace("N row Ventola File %d \n", static_cast<int>(w->tabVentola.size()));
  ktrace("Setup3 \n");
  for (const auto& e : w->tabVentola) ktrace("->t:%.02f: %d \n", e.temp, e.step);
}

float SearchTemperatureFromVentola(Works* w, int step) {
  for (const auto& e : w->tabVentola)
    if (e.step == step) return e.temp;
  return 0.0f;
}

void searchPercentVentola(Works* w) {
  const auto& tab = w->tabVentola;
  if (tab.empty()) return;
  const float T = std::max(w->temp1.load(), w->temp2.load());
  const size_t n = tab.size();
  int wanted = tab[0].step;
  bool found = false;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (tab[i].temp <= T && T < tab[i + 1].temp) {
      wanted = tab[i].step;
      found = true;
      break;
    }
  }
  // Hotter than the last entry: the top step, never the bottom one.
  if (!found && T >= tab[n - 1].temp) wanted = tab[n - 1].step;
  w->fanWanted = wanted;

  const int sent = w->fanSent;
  if (wanted == sent) return;
  const bool rising = sent < wanted;
  const bool cooled = T < SearchTemperatureFromVentola(w, sent) - static_cast<float>(w->Isteresi2.load());
  if (!rising && !cooled) return;
  // A refused command (full ring) leaves fanSent alone, so the next status reply asks again.
  if (IncPNTIn_CMDLinear(LIN_FN, w) < 0) return;
  w->fanSent = wanted;
  ktrace("---> VENTOLA: %d (%02.02f°C)\n", wanted, T);
}

void ControlloSovraTemperatura(Works* w) {
  const float t1 = w->temp1, t2 = w->temp2;
  const float limit = w->MaxTemperature;
  const bool listed = ExistError(w, kErrorHighTemp);
  if ((t1 > limit || t2 > limit) && !listed) {
    // Until the micro's first "CP" the list takes no error, so "not listed" would hold on every status
    // reply: the reaction is queued once for the episode, and again only when the list can show it.
    if (w->overTempQueued && w->cpPending) return;
    w->protectionHeld = 1;
    UrgentCommands urgent;
    AddErrore(w, kErrorHighTemp);
    AttivaDisattivaProtezione(w, 1);
    if (w->EnableLOGTemp) {
      LogTempFunction(w, 1);
      w->logTempActive = 0;
    }
    if (!w->cpPending) IncPNTIn_CMDLinear(LIN_AB0, w);
    w->overTempQueued = 1;
    ktrace("!!!! ADD TEMP ERR: %02.02f %02.02f\n", t1, t2);
  } else if (t1 < limit - w->Isteresi1 && t2 < limit - w->Isteresi1 && (listed || w->overTempQueued)) {
    w->overTempQueued = 0;
    w->protectionHeld = 0;
    if (listed) {
      UrgentCommands urgent;
      DeleteErrore(w, kErrorHighTemp);
      IncPNTIn_CMDLinear(LIN_AB1, w);
      AddErrore(w, kErrorHighTempCleared);
    }
    ktrace("!!!! TEMP END \n");
  }
}

void AttenuatorCmdText(int value, char* out) {
  value = std::clamp(value, 0, 3);
  snprintf(out, 6, "AT%d%d;", (value >> 1) & 1, value & 1);
}

void SetAttenuatorCMD(Works* w, int value, int state) {
  char cmd[8];
  AttenuatorCmdText(value, cmd);
  LastCmdSent(w, 'A', 'T', state);
  writeLinearPort(w, w->linFD, cmd, 5);
  ktrace(">> %s\n", cmd);
  w->linearProcessStatus = LIN_WAIT;
}
