// The calibration table (config.txt), the filter table (filter.txt) and the band tables of the banks
// (antenna.txt, antenna_b1.txt ...): their files and parsers. The amplifier and the tuner read them.
#pragma once
#include <string>

#include "tuner/tuner_fields.h"

struct Works;

inline constexpr const char* MODEwork[3] = {"Generic", "HVZBIX", " FT-817"};
// The work mode's caption for the screen (text holds at least 9 bytes); "" for no such mode.
inline void GetLblInterface(int mode, char* text) {
  const char* name = mode >= 0 && mode < 3 ? MODEwork[mode] : "";
  int i = 0;
  for (; name[i] && i < 8; ++i) text[i] = name[i];
  text[i] = '\0';
}
inline constexpr const char* AttVectStr[5] = {"0", "2", "3", "5", "StBy"};

// Banks 0..19 have files of their own; any other number would name bank 0's files.
inline constexpr int kMaxBanks = 20;
std::string AntennaFileName(int bank);
// A bank an operation may read, write or delete: one of the MAXbank banks offered, or the active
// one, and always one with files of its own. Other numbers are refused by the bank operations.
bool BankUsable(Works* works, int bank);

void ReadConfigFile(Works* works);
void LoadTabFiltri(Works* works);
void InitTabAntenna(Works* works, int keepSettings);
int LoadTabConfig(Works* works, int bank);
int SaveTabConfig(Works* works, int bank);

// Parsers of the three configuration files' text (the loaders read the file and call these).
void ParseConfigText(Works* works, const std::string& text);
void ParseFilterText(Works* works, const std::string& text);
int ParseAntennaText(Works* works, const std::string& text);
std::string AntennaFileText(Works* works);

// A band table apart from the record (bank copies): rows from a file's text (returns the interface
// tag), the default rows, and the file text of rows.
int ParseBandRows(const std::string& text, BandRow* rows, int& numBands);
void DefaultBandRows(BandRow* rows, int keepSettings);
std::string BandRowsText(const BandRow* rows, int n, int mode);
