// Tuner and band memory: relay word, auto-tune, tune memories, band tables, selection chain.
#pragma once
struct Works;

void ReadConfigFile(Works* works);
void LoadTabFiltri(Works* works);
void LoadAllBankTable(Works* works);
