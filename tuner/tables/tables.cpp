// The calibration, filter and band tables: their files, parsers and the band-table writer.
#include "tuner/tables/tables.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/config_file.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "tuner/lines.h"

using namespace tuner_detail;

namespace {
constexpr size_t kMaxConfigRows = 100000;  // far beyond any calibration bench, bounds the allocation

struct DefaultBand {
  const char* name;
  uint32_t freqMin, freqMax;
};
constexpr DefaultBand kDefaultBands[kBandRows] = {
    {"160m", 1800000, 2000000},  {"80m", 3500000, 4000000},   {"60m", 5330500, 5450000},   {"40m", 7000000, 7300000},
    {"30m", 10100000, 10150000}, {"20m", 14000000, 14350000}, {"17m", 18068000, 18168000}, {"15m", 21000000, 21450000},
    {"12m", 24890000, 24990000}, {"10m", 28000000, 29700000}, {"6m", 50000000, 54000000}};

void initDefaultRows(BandRow* rows, int keepSettings) {
  for (int i = 0; i < kBandRows; ++i) {
    BandRow& r = rows[i];
    snprintf(r.name, sizeof r.name, "%s", kDefaultBands[i].name);
    r.freqMin = kDefaultBands[i].freqMin;
    r.freqMax = kDefaultBands[i].freqMax;
    if (!keepSettings) {
      r.ampEnable = 0;
      r.ant = 1;
      r.atu = 1;
      r.att = 0;
      r.pwr = 0.0f;
    }
  }
}

void initBandsLocked(Works* w, int keepSettings) {
  initDefaultRows(w->tabAntenna, keepSettings);
  w->numBands = kBandRows;
}

const char* tagLine(int mode) {
  if (mode == 1) return "!Bix\n";
  if (mode == 2) return "!817\n";
  return "!Gen\n";
}

std::string antennaText(const BandRow* rows, int n, int mode) {
  std::string out = tagLine(mode);
  char line[160];
  for (int i = 0; i < n && i < kBandRows; ++i) {
    const BandRow& r = rows[i];
    snprintf(line, sizeof line, "%s %ld %ld %i %i %i %i %2.1f\n", r.name, static_cast<long>(r.freqMin),
             static_cast<long>(r.freqMax), r.ampEnable, r.ant, r.atu, r.att, static_cast<double>(r.pwr));
    out += line;
  }
  return out;
}

}  // namespace

std::string AntennaFileName(int bank) {
  char name[48];
  if (bank >= 1 && bank <= 19)
    snprintf(name, sizeof name, "/opt/set/antenna_b%d.txt", bank);
  else
    snprintf(name, sizeof name, "/opt/set/antenna.txt");
  return name;
}

bool BankUsable(Works* w, int bank) {
  return bank >= 0 && bank < kMaxBanks && (bank < w->MAXbank || bank == w->NumBanco);
}

// ---- config.txt --------------------------------------------------------------------------------

namespace {
// One calibration row; false when a field is no number of its kind or out of range. Fields the
// line leaves out at its end read as 0, as the format allows.
bool parseConfigRow(const char* p, ConfigRow& r, float& pwW, float& pwC) {
  constexpr float kBig = 1e6f;  // watts, counts, amperes: far above the unit's own
  float fwdW, fwdC, reflW, reflC;
  long l[5], c[5], step;
  bool ok = nextU32(p, r.freqStart) != Field::Bad && nextU32(p, r.aux) != Field::Bad &&
            nextFloat(p, fwdW, 0, kBig) != Field::Bad && nextFloat(p, fwdC, 0, kBig) != Field::Bad &&
            nextFloat(p, reflW, 0, kBig) != Field::Bad && nextFloat(p, reflC, 0, kBig) != Field::Bad &&
            nextFloat(p, pwW, 0, kBig) != Field::Bad && nextFloat(p, pwC, 0, kBig) != Field::Bad &&
            nextFloat(p, r.K3, -1000, 1000) != Field::Bad && nextFloat(p, r.sogliaPwin, 0, kBig) != Field::Bad &&
            nextFloat(p, r.sogliaCorrente, 0, kBig) != Field::Bad &&
            nextFloat(p, r.sogliaRefl, 0, kBig) != Field::Bad && nextFloat(p, r.sogliaFwd, 0, kBig) != Field::Bad;
  // Tuner steps are 9-bit.
  for (int i = 0; ok && i < 5; ++i)
    ok = nextLong(p, l[i], 0, 511) != Field::Bad && nextLong(p, c[i], 0, 511) != Field::Bad;
  ok = ok && nextLong(p, step, 0, 511) != Field::Bad && !moreFields(p);
  if (!ok) return false;
  r.K0 = fwdW / (fwdC * fwdC);
  r.K1 = reflW / (reflC * reflC);
  r.K2 = pwW / (pwC * pwC);
  for (int i = 0; i < 5; ++i) {
    r.tuneparL[i] = static_cast<int>(l[i]);
    r.tuneparC[i] = static_cast<int>(c[i]);
  }
  r.step = static_cast<int>(step);
  return true;
}
}  // namespace

void ParseConfigText(Works* w, const std::string& text) {
  LineComplaints complaints("config.txt");
  std::vector<ConfigRow> rows;
  std::vector<int> lineOf;
  size_t beyond = 0;
  forEachConfigLine(text, 256, complaints, [&](char* line, int lineNo) {
    if (line[0] == ';') return;
    ConfigRow r;
    float pwW = 0, pwC = 0;
    if (!parseConfigRow(line, r, pwW, pwC)) {
      complaints.refuse(lineNo, "not a calibration row (a field is no number or out of range)");
      return;
    }
    if (rows.size() >= kMaxConfigRows) {
      ++beyond;
      return;
    }
    ktrace(
        "->%u,%u,%02.07f,%02.07f,%02.07f,%02.07f (%02.02f,%02.02f) Soglie: PWIN %02.01f, Corrente: %02.01f, REFL: "
        "%02.01f, FWD: %02.01f\n",
        r.freqStart, r.aux, static_cast<double>(r.K0), static_cast<double>(r.K1), static_cast<double>(r.K2),
        static_cast<double>(r.K3), static_cast<double>(pwW), static_cast<double>(pwC),
        static_cast<double>(r.sogliaPwin), static_cast<double>(r.sogliaCorrente), static_cast<double>(r.sogliaRefl),
        static_cast<double>(r.sogliaFwd));
    ktrace("\ttunepar: %d %d, %d %d, %d %d, %d %d, %d %d, step:%d\n", r.tuneparL[0], r.tuneparC[0], r.tuneparL[1],
           r.tuneparC[1], r.tuneparL[2], r.tuneparC[2], r.tuneparL[3], r.tuneparC[3], r.tuneparL[4], r.tuneparC[4],
           r.step);
    rows.push_back(r);
    lineOf.push_back(lineNo);
  });
  ktrace("N row Config File %d \n", static_cast<int>(rows.size()));
  if (beyond > 0) klog(LOG_ERR, "config.txt: %zu rows beyond the first %zu not used", beyond, kMaxConfigRows);
  const std::string kept = std::to_string(rows.size()) + " rows kept";
  complaints.summary(kept.c_str());
  // A pair with 0 counts gives no coefficient (infinite or not a number). The row stays, its
  // threshold words are capped like any other, but the calibration needs fixing. The last row
  // only closes the range before it, so its pairs are never used.
  LineComplaints unusable("config.txt");
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    const ConfigRow& r = rows[i];
    const std::pair<const char*, float> ks[] = {{"forward", r.K0}, {"reflected", r.K1}, {"input", r.K2}};
    for (auto [name, k] : ks)
      if (!std::isfinite(k))
        unusable.refuse(lineOf[i], "%s power pair gives no coefficient (0 counts?), its thresholds are capped", name);
  }
  if (unusable.refused() > 5)
    klog(LOG_ERR, "config.txt: %d power pairs give no coefficient in all", unusable.refused());
  std::unique_lock lk(w->tablesMut);
  w->configRows = std::move(rows);
  w->numConfigRows = static_cast<int>(w->configRows.size());
}

void ReadConfigFile(Works* w) {
  std::string text;
  if (!readConfigFile(rootPath("/opt/set/config.txt"), text, "config.txt")) {
    ktrace("Config File not FOUND!!");
    klog(LOG_ERR, "can't open /opt/set/config.txt");
    return;
  }
  ParseConfigText(w, text);
}

// ---- filter.txt --------------------------------------------------------------------------------

void ParseFilterText(Works* w, const std::string& text) {
  FilterRow rows[kFilterRows];
  {
    std::shared_lock lk(w->tablesMut);
    for (int i = 0; i < kFilterRows; ++i) rows[i] = w->tabFiltri[i];
  }
  for (auto& r : rows) r.enable = 0;
  int n = 0;
  bool extra = false;
  LineComplaints complaints("filter.txt");
  forEachConfigLine(text, 512, complaints, [&](char* line, int lineNo) {
    if (line[0] == ';' || isBlankLine(line)) return;
    if (n >= kFilterRows) {
      extra = true;
      return;
    }
    const char* p = line;
    FilterRow& r = rows[n];
    uint32_t lo = 0, hi = 0;
    long enable = 0;
    // Row i drives relay bit i: a refused row keeps its place, with its filter off.
    if (nextU32(p, lo) == Field::Bad || nextU32(p, hi) == Field::Bad || nextLong(p, enable, 0, 255) == Field::Bad ||
        moreFields(p)) {
      complaints.refuse(lineNo, "filter %d is no filter row, left off", n);
      r.freqMin = r.freqMax = 0;
      r.enable = 0;
    } else {
      r.freqMin = lo;
      r.freqMax = hi;
      r.enable = static_cast<uint8_t>(enable);
    }
    ktrace("Filter %i %ld,%ld,%x\n", n, static_cast<long>(r.freqMin), static_cast<long>(r.freqMax), r.enable);
    ++n;
  });
  if (extra) klog(LOG_ERR, "filter.txt: lines after the %dth filter ignored", kFilterRows);
  complaints.summary();
  std::unique_lock lk(w->tablesMut);
  for (int i = 0; i < kFilterRows; ++i) w->tabFiltri[i] = rows[i];
}

void LoadTabFiltri(Works* w) {
  std::string text;
  if (!readConfigFile(rootPath("/opt/set/filter.txt"), text, "filter.txt")) {
    ktrace("Filter File not FOUND!!\n");
    std::unique_lock lk(w->tablesMut);
    for (auto& r : w->tabFiltri) r.enable = 0;
    return;
  }
  ParseFilterText(w, text);
}

// ---- band table (antenna files) ----------------------------------------------------------------

void InitTabAntenna(Works* w, int keepSettings) {
  std::unique_lock lk(w->tablesMut);
  initBandsLocked(w, keepSettings);
}

namespace {
// Parses an antenna file into rows (whose ampEnable the caller cleared); returns the tag.
int parseAntennaRows(const std::string& text, BandRow* rows, int& numBands) {
  int tag = 0;
  int n = 0;
  bool full = false;
  LineComplaints complaints("antenna file");
  forEachConfigLine(text, 512, complaints, [&](char* line, int lineNo) {
    if (full || line[0] == ';' || isBlankLine(line)) return;
    if (line[0] == '!') {
      if (strncmp(line + 1, "Gen", 3) == 0) tag = 0;
      if (strncmp(line + 1, "Bix", 3) == 0) tag = 1;
      if (strncmp(line + 1, "817", 3) == 0) tag = 2;
      return;
    }
    if (n >= kBandRows) {
      klog(LOG_ERR, "antenna file: more than %d bands, the rest is ignored", kBandRows);
      full = true;
      return;
    }
    BandRow r = rows[n];
    size_t len = strlen(line);
    size_t nameLen = 0;
    while (nameLen < 7 && line[nameLen] && line[nameLen] != ' ' && line[nameLen] != '\t') ++nameLen;
    memcpy(r.name, line, nameLen);
    r.name[nameLen] = '\0';
    // Numbers start one character after the name; a line that ends with the name has none.
    const char* p = line + (nameLen + 1 <= len ? nameLen + 1 : len);
    long amp = 0, ant = 0, atu = 0, att = 0;
    if (nextU32(p, r.freqMin) == Field::Bad || nextU32(p, r.freqMax) == Field::Bad ||
        nextLong(p, amp, 0, 255) == Field::Bad || nextLong(p, ant, 0, 255) == Field::Bad ||
        nextLong(p, atu, 0, 255) == Field::Bad || nextLong(p, att, 0, 255) == Field::Bad ||
        nextFloat(p, r.pwr, -1e6f, 1e6f) == Field::Bad || moreFields(p)) {
      complaints.refuse(lineNo, "band %s is no band row", r.name);
      return;
    }
    r.ampEnable = static_cast<uint8_t>(amp);
    r.ant = static_cast<uint8_t>(ant);
    r.atu = static_cast<uint8_t>(atu);
    r.att = static_cast<uint8_t>(att);
    // Values the hardware cannot take would index past the antenna and attenuator tables.
    if (r.ant > 3 || r.att > 3 || r.atu > 1 || r.ampEnable > 1) {
      klog(LOG_ERR, "antenna file: band %s has settings out of range, reset", r.name);
      if (r.ant > 3) r.ant = 1;
      if (r.att > 3) r.att = 0;
      if (r.atu > 1) r.atu = 1;
      if (r.ampEnable > 1) r.ampEnable = 0;
    }
    rows[n++] = r;
  });
  complaints.summary();
  numBands = n;
  bool bad = false;
  for (int i = 0; i < n; ++i)
    if (rows[i].freqMin == 0 || rows[i].freqMax == 0) bad = true;
  if (bad) {
    initDefaultRows(rows, 1);
    numBands = kBandRows;
    ktrace("Error Reinit antenna\n");
  }
  return tag;
}
}  // namespace

int ParseAntennaText(Works* w, const std::string& text) {
  std::unique_lock lk(w->tablesMut);
  for (auto& r : w->tabAntenna) r.ampEnable = 0;
  int n = 0;
  int tag = parseAntennaRows(text, w->tabAntenna, n);
  w->numBands = n;
  w->bandIdx = -1;
  return tag;
}

int LoadTabConfig(Works* w, int bank) {
  std::string text;
  if (!readConfigFile(rootPath(AntennaFileName(bank)), text, "antenna file")) {
    std::unique_lock lk(w->tablesMut);
    for (auto& r : w->tabAntenna) r.ampEnable = 0;
    initBandsLocked(w, 0);
    return 0;
  }
  return ParseAntennaText(w, text);
}

std::string AntennaFileText(Works* w) {
  std::shared_lock lk(w->tablesMut);
  return antennaText(w->tabAntenna, w->numBands, w->ModeWorkIdx);
}

int SaveTabConfig(Works* w, int bank) {
  int rc = optSetWriteFile(AntennaFileName(bank), AntennaFileText(w));
  if (rc == -1) ktrace("can't mount rw /opt/set/ error %d\n", errno);
  return rc;
}

int ParseBandRows(const std::string& text, BandRow* rows, int& numBands) {
  return parseAntennaRows(text, rows, numBands);
}
void DefaultBandRows(BandRow* rows, int keepSettings) { initDefaultRows(rows, keepSettings); }
std::string BandRowsText(const BandRow* rows, int n, int mode) { return antennaText(rows, n, mode); }
