// Tuner-side start-up readers that later work fills in.
#include "tuner/tuner.h"

#include "core/works.h"

void ReadConfigFile(Works* w) {}
void LoadTabFiltri(Works* w) {}
void LoadAllBankTable(Works* w) {}
