// The content area between the meters and the button bar: parameter panel, band table, message line,
// status strips, and the information page.
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "amp/pa_voltage.h"
#include "core/housekeeping.h"
#include "core/setup.h"
#include "core/works.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/menu_lan.h"
#include "ui/text.h"

namespace {

constexpr int kOrange[3] = {250, 150, 0};
constexpr int kLight[3] = {250, 250, 250};

// Text that would run past the right edge comes back on the left of the rows below: a line too long
// for the screen (a long status line, large values) loses its end instead.
void text(int slot, int x, int y, const char* t, const int (&c)[3], Screen* s) {
  const int room = s->width - 1 - x;
  if (getStringSpace(slot, t) <= room) {
    putString(slot, x, y, t, c[0], c[1], c[2], s);
    return;
  }
  std::string cut = t;
  while (!cut.empty() && getStringSpace(slot, cut.c_str()) > room) {
    // One whole character: its continuation bytes, then its first byte.
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80) cut.pop_back();
    if (!cut.empty()) cut.pop_back();
  }
  putString(slot, x, y, cut.c_str(), c[0], c[1], c[2], s);
}
void textRight(int slot, int right, int y, const char* t, const int (&c)[3], Screen* s) {
  putString(slot, right - getStringSpace(slot, t), y, t, c[0], c[1], c[2], s);
}
void fillRows(Screen* s, int x0, int y0, int x1, int y1, int r, int g, int b) {
  for (int y = y0; y <= y1; ++y) DrawHorizontalLine(x0, y, x1 + 1, r, g, b, s);
}

float toUnits(const Works* w, float celsius) {
  return w->TempMode ? ConversionCelsius_to_Fahrenheit(celsius) : celsius;
}
const char* degrees(const Works* w) { return w->TempMode ? "°F" : "°C"; }

bool deviceErrorShown(const Works* w) { return w->portError > 0 || w->menuPage == kPageDeviceError; }

// One line of the panel: number, title, name, value.
void panelLine(Works* w, int index, int y, bool current, int page, Screen* s) {
  const MenuParEntry& e = w->menuPar[index];
  char num[16], value[64];
  snprintf(num, sizeof num, "%d -", e.number);
  LoadParameterMenu(w, value, sizeof value, index, 0);
  if (!current) {
    text(1, 20, y, num, kOrange, s);
    text(1, 70, y, e.title, kOrange, s);
    text(1, 350, y, e.sub[0].name, kOrange, s);
    textRight(11, 790, y, value, kOrange, s);
    return;
  }
  constexpr int kWhite[3] = {255, 255, 255};
  text(7, 20, y, num, kWhite, s);
  text(7, 70, y, e.title, kWhite, s);
  text(7, 350, y, e.sub[0].name, kWhite, s);
  if (page != kPageParamEdit) {
    textRight(0, 790, y, value, kWhite, s);
  } else if (e.sub[0].address == 1) {
    // The octet under the cursor stands out between the others.
    char before[32], selected[32], after[32];
    // The four address entries follow one another; which one this is counts from the first of them.
    int first = index;
    while (first > 0 && w->menuPar[first - 1].sub[0].address == 1) --first;
    LanAddressPieces(index - first, before, selected, after, sizeof before);
    const int wAfter = getStringSpace(7, after), wSel = getStringSpace(7, selected);
    const int wBefore = getStringSpace(7, before);
    const int x = 790 - wAfter - wSel - wBefore;
    text(7, x, y, before, kOrange, s);
    text(7, x + wBefore, y, selected, kLight, s);
    text(7, x + wBefore + wSel, y, after, kOrange, s);
  } else {
    textRight(7, 790, y, value, kLight, s);
  }
}

void drawPanel(Works* w, int page, Screen* s) {
  const int n = w->paramCount > 0 ? w->paramCount.load() : kParamCount;
  int cur = w->paramIndex;
  if (cur < 0 || cur >= n) cur = 0;
  const int shift = (w->statusPage & kStatusInfo) ? 50 : 0;
  fillRows(s, 1, 285 + shift, 798, 364 + shift, 40, 40, 40);
  fillRows(s, 1, 311 + shift, 798, 339 + shift, 80, 80, 80);
  panelLine(w, cur == 0 ? n - 1 : cur - 1, 305 + shift, false, page, s);
  panelLine(w, cur, 335 + shift, true, page, s);
  panelLine(w, cur == n - 1 ? 0 : cur + 1, 360 + shift, false, page, s);
}

void drawBandTable(Works* w, Screen* s) {
  char line[96], iface[16];
  GetLblInterface(w->ModeWorkIdx, iface, sizeof iface);
  snprintf(line, sizeof line, " Memory Table Bank %i - Interface: %s", w->NumBanco.load(), iface);
  text(0, 100, 50, line, kOrange, s);
  text(8, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", kLight, s);
  BandRow rows[kBandRows];
  int n;
  {
    std::shared_lock lk(w->tablesMut);
    n = w->numBands;
    if (n < 0) n = 0;
    if (n > kBandRows) n = kBandRows;
    for (int i = 0; i < n; ++i) rows[i] = w->tabAntenna[i];
  }
  const int selRow = w->tabRow, selCol = w->menuPage == kPageBandEdit ? w->tabCol.load() : -1;
  constexpr int kRed[3] = {255, 0, 0};
  for (int i = 0; i < n; ++i) {
    const BandRow& r = rows[i];
    const int y = 130 + 22 * i;
    const int(&c)[3] = i == selRow ? kOrange : kLight;
    char cell[5][16];
    char name[sizeof r.name + 1];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof r.name), r.name);
    snprintf(cell[0], sizeof cell[0], "%2.1f", static_cast<double>(r.pwr));
    snprintf(cell[1], sizeof cell[1], "%s", AttVectStr[r.att & 3]);
    snprintf(cell[2], sizeof cell[2], "%s", r.ampEnable ? "On" : "Off");
    snprintf(cell[3], sizeof cell[3], "%x", r.ant);
    snprintf(cell[4], sizeof cell[4], "%s", r.atu == 1 ? "Off" : "On");
    char idx[8];
    snprintf(idx, sizeof idx, "%i", i + 1);
    text(8, 50, y, idx, c, s);
    text(8, 90, y, name, c, s);
    constexpr int kColX[5] = {170, 250, 350, 470, 540};
    for (int col = 0; col < 5; ++col) {
      if (i == selRow && col == selCol)
        text(7, kColX[col], y, cell[col], kRed, s);
      else
        text(8, kColX[col], y, cell[col], c, s);
    }
  }
}

void drawMessageLine(Works* w, Screen* s) {
  char line[128];
  if (w->EnableDebug) {
    constexpr int kYellow[3] = {250, 250, 0};
    snprintf(line, sizeof line, "PW %04d FWD %04d REFL %04d SWR %03.02f (%X)", w->rawPW.load(), w->rawFWD.load(),
             w->rawREFL.load(), static_cast<double>(w->swr), w->gpioReading[3].load());
    text(8, 5, 350, line, kYellow, s);
    snprintf(line, sizeof line, "freq %lu L%i,C%i,%s", static_cast<unsigned long>(w->freqMeasured.load()),
             w->tuneL.load(), w->tuneC.load(), ModeTuneDebug(w->tuneMode));
    text(8, 500, 350, line, kYellow, s);
    return;
  }
  const uint8_t m = w->msgFlags;
  if (m & kMsgSecondFunction)
    text(8, 5, 350, "Entering second function...", kLight, s);
  else if (m & kMsgBypassNotSaved)
    text(8, 5, 350, "ATU ByPass not saved!", kLight, s);
}

}  // namespace

// The band box: the last band of the table whose range holds the frequency.
void GetBandText(Works* w, char* out, size_t size) {
  const uint64_t f = w->freq;
  if (f >= 26000000 && f <= 28000000) {
    snprintf(out, size, "%s", "NOPA");
    return;
  }
  char name[16] = "---";
  {
    std::shared_lock lk(w->tablesMut);
    const int n = w->numBands;
    for (int i = 0; i < n && i < kBandRows; ++i) {
      const BandRow& r = w->tabAntenna[i];
      if (f >= r.freqMin && f <= r.freqMax) snprintf(name, sizeof name, "%.7s", r.name);
    }
  }
  snprintf(out, size, "Band:%s", name);
}

namespace {

void drawStatusStrips(Works* w, Screen* s) {
  constexpr int kBlue[3] = {0, 200, 255};
  constexpr int kBoxes[7][3] = {{1, 110, 10},    {115, 260, 125}, {265, 400, 275}, {405, 520, 415},
                                {525, 600, 535}, {605, 710, 615}, {715, 799, 725}};
  char t[7][48];
  GetLblInterface(w->ModeWorkIdx, t[0], sizeof t[0]);
  snprintf(t[1], sizeof t[1], "%s", (w->stStatus0 & 1) ? "Coax:RX+TX" : "  Coax:RTX");
  GetBandText(w, t[2], sizeof t[2]);
  if (w->bypass)
    snprintf(t[3], sizeof t[3], "Att %s", "StBy");
  else
    snprintf(t[3], sizeof t[3], "Att %sdB", AttVectStr[w->Attenuator & 3]);
  snprintf(t[4], sizeof t[4], "Ant %d", w->antennaIdx + 1);
  snprintf(t[5], sizeof t[5], "%s", w->atuBypass ? "Atu: Bpy" : "Atu: On");
  snprintf(t[6], sizeof t[6], "%s", w->remoteMode == 1 ? "Remote" : "Local");
  for (int i = 0; i < 7; ++i) {
    DrawRect(w, kBoxes[i][0], 278, kBoxes[i][1], 303, 200, 200, 200);
    if (i == 6 && w->remoteThreadsEnded)
      putString(8, kBoxes[i][2], 298, t[i], 250, 0, 0, s);
    else
      text(8, kBoxes[i][2], 298, t[i], kBlue, s);
  }
  constexpr int kGreen[3] = {0, 200, 0};
  char line[96];
  DrawRect(w, 1, 307, 400, 332, 100, 100, 100);
  DrawRect(w, 405, 307, 799, 332, 100, 100, 100);
  snprintf(line, sizeof line, "PA Temp1: %04.01f%s      Temp2: %04.01f%s", static_cast<double>(toUnits(w, w->temp1)),
           degrees(w), static_cast<double>(toUnits(w, w->temp2)), degrees(w));
  text(8, 10, 327, line, kGreen, s);
  const bool model120 = w->microCfgB == kMicroCfg120W;
  const float volts = PaVoltageFromReading(w->gpioReading[3], w->microCfgB);
  const double amps = w->rawCurrent / 4096.0 * 14.05;
  // Above 20 V on the smaller model's divider the reading is not the supply: it is not shown.
  if (!model120 && volts > 20.0f)
    snprintf(line, sizeof line, "PA Voltage: -----       Current: %04.01fA", amps);
  else
    snprintf(line, sizeof line, "PA Voltage: %04.01fV       Current: %04.01fA", static_cast<double>(volts), amps);
  text(8, 415, 327, line, kGreen, s);
}

}  // namespace

void DrawParameters(Works* w) {
  Screen* s = w->fb;
  if (!s || deviceErrorShown(w)) return;
  const int page = w->menuPage;
  const uint8_t status = w->statusPage;
  if (page == kPageParamList || page == kPageParamEdit) {
    drawPanel(w, page, s);
  } else if (w->updateFlags & kUpdFwStarted) {
    text(8, 100, 400, "FW UPDATE: please update fw with FlashMagic and then Reset HW", kLight, s);
  } else if (status & kStatusInterface) {
    drawBandTable(w, s);
  } else if (status == kStatusInfo) {
    // the information page draws itself
  } else {
    drawMessageLine(w, s);
    drawStatusStrips(w, s);
  }
}

void ViewStatusInfo(Works* w) {
  Screen* s = w->fb;
  if (!s || deviceErrorShown(w) || w->statusPage != kStatusInfo) return;
  constexpr int kWhite[3] = {255, 255, 255};
  char v[160];
  auto row = [&](int y, const char* title) {
    if (title) text(8, 5, y, title, kWhite, s);
    text(8, 180, y, v, kWhite, s);
  };
  const char* unit = degrees(w);
  {
    char micro[8], idA[32], idB[32];
    {
      std::lock_guard<std::mutex> lk(w->ampTextMut);
      snprintf(micro, sizeof micro, "%.7s", w->microVersion);
      snprintf(idA, sizeof idA, "%.31s", reinterpret_cast<const char*>(w->microCfg0));
      snprintf(idB, sizeof idB, "%.31s", reinterpret_cast<const char*>(w->microCfg1));
    }
    snprintf(v, sizeof v, "SW ver. %s, FW ver. %s", w->version, micro);
    row(110, "VERSION");
    snprintf(v, sizeof v, "%s (%s), TYPE: %s, MAXPOWER: %s", idA, idB, w->microCfgA == '1' ? "USA" : "EU",
             w->microCfgB == '1' ? "120W" : "60W");
    row(132, "SN");
  }
  snprintf(v, sizeof v, "FWD:%02.01f, RFL:%02.01f , PW:%02.01f, SWR:%02.01f", static_cast<double>(w->pwrFwd),
           static_cast<double>(w->pwrRefl), static_cast<double>(w->pwrPW), static_cast<double>(w->swr));
  row(154, "POWER");
  const bool serial = w->setup && getFlag(w->setup->EnableSerial) == '1';
  snprintf(v, sizeof v, "%ldHz", static_cast<long>(serial ? w->freq.load() : w->freqMeasured.load()));
  row(176, "FREQUENCY");
  const float amps = static_cast<float>(w->rawCurrent / 4096.0 * 14.05);
  snprintf(v, sizeof v, "Current:%05.01fA (%05.01f), Tbrd:%04.02f%s, Thsk:%04.02f%s", static_cast<double>(amps),
           static_cast<double>(w->rawCurrent), static_cast<double>(toUnits(w, w->temp1)), unit,
           static_cast<double>(toUnits(w, w->temp2)), unit);
  row(198, "TEMPERATURE");
  if (w->TempMode)
    snprintf(v, sizeof v, "CPU:%4.01f°F, GPU:%4.01f°F", static_cast<double>(toUnits(w, w->cpuTemp)),
             static_cast<double>(toUnits(w, w->gpuTemp)));
  else
    snprintf(v, sizeof v, "CPU:%2.01f°C, GPU:%2.01f°C", static_cast<double>(w->cpuTemp.load()),
             static_cast<double>(w->gpuTemp.load()));
  row(220, nullptr);
  if (w->TempMode)
    snprintf(v, sizeof v, "Set Point Alarm %4.01f°F, Tune search: %s",
             static_cast<double>(toUnits(w, w->MaxTemperature)), TuneSearchCaption(w->tuneSearch));
  else
    snprintf(v, sizeof v, "Set Point Alarm %04.02f°C, Tune search: %s", static_cast<double>(w->MaxTemperature.load()),
             TuneSearchCaption(w->tuneSearch));
  row(242, nullptr);
  char a[4][32];
  for (int i = 0; i < 4; ++i) LanAddressText(i, a[i], sizeof a[i]);
  snprintf(v, sizeof v, "IP:%s, NetMask:%s ", a[0], a[1]);
  row(264, "LAN");
  snprintf(v, sizeof v, "Gateway:%s, DNS:%s ", a[2], a[3]);
  row(286, nullptr);
  snprintf(v, sizeof v, "State 0x%02x 0x%02x,LAN:%s,Audio:%s,ES:%d,ER:%d", w->stStatus0.load(), w->stStatus1.load(),
           w->infoRemoteOk ? "connected" : "not connected", w->infoAudioOk ? "found" : "not found",
           w->retryTotal.load(), w->retryRestarts.load());
  row(308, "STATUS");
  // Anyone who knows the maker's password can reach the station: keep it in sight until it is changed.
  snprintf(v, sizeof v, "%s%s", ExistError(w, kErrorBixData) ? "No EXT IO data" : "EXT IO connected",
           w->wsockDefaultPassword ? ", Remote password: default" : "");
  row(330, nullptr);
  snprintf(v, sizeof v, "ver. %x, V12: %02.01fV, V15: %02.01fV, Vamp: %02.01fV", w->gpioReading[0].load(),
           static_cast<double>(PaVoltageFromReading(w->gpioReading[1], w->microCfgB)),
           static_cast<double>(PaVoltageFromReading(w->gpioReading[2], w->microCfgB)),
           static_cast<double>(PaVoltageFromReading(w->gpioReading[3], w->microCfgB)));
  row(352, "AMPL");
  if (w->menuPage == kPageMain) {
    getDataOra(w, v, sizeof v);
    text(8, 300, 400, v, kWhite, s);
  }
}
