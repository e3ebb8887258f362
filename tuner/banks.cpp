// Memory banks: loading, saving, copying and deleting a bank's band table and tune memories, and the interface change.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "amp/queue/queue.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "tuner/lines.h"
#include "tuner/tables/tables.h"
#include "tuner/tuner.h"
#include "ui/errors.h"

using namespace tuner_detail;
namespace {
// Records the manual choice in the band row of the frequency and writes the table; the caller holds
// bankMut, so the table in RAM is the bank's own.
void saveToBankLocked(Works* w, int bank, int antenna) {
  {
    std::unique_lock lk(w->tablesMut);
    uint64_t f = w->freq;
    int n = w->numBands;
    for (int i = 0; i < n && i < kBandRows; ++i) {
      BandRow& r = w->tabAntenna[i];
      if (r.freqMin <= f && f <= r.freqMax) {
        r.ant = static_cast<uint8_t>(antenna + 1);
        r.atu = w->atuBypass;
        r.att = w->Attenuator;
        r.ampEnable = w->attState < 4 ? 1 : 0;
        break;
      }
    }
  }
  SaveTabConfig(w, bank);
}
}  // namespace

void SaveToBank(Works* w, int bank, int antenna) {
  std::lock_guard lk(w->bankMut);
  // The table in RAM belongs to the active bank: written under another bank's name it would
  // replace that bank's table.
  if (bank != w->NumBanco) {
    klog(LOG_ERR, "SaveToBank: bank %d is not the active bank %d, not saved", bank, w->NumBanco.load());
    return;
  }
  saveToBankLocked(w, bank, antenna);
}

// ---- banks and interface -----------------------------------------------------------------------

namespace {
// Band table and the three memories of a bank; the caller holds bankMut. Returns the interface tag.
int loadBankLocked(Works* w, int bank) {
  int tag = LoadTabConfig(w, bank);
  for (int a = 0; a < kTuneMemAntennas; ++a) LoadTabAtu(w, bank, a);
  return tag;
}
}  // namespace

// The transceiver links are started or stopped after the bank lock is released: starting a thread
// and the error list are no bank work, and their locks must never sit inside it.
namespace {
// A bank number without files of its own (a damaged setup file) would load bank 0's files under
// another number, and every later save would go to bank 0 in its name: bank 0 becomes the bank.
int existingBankLocked(Works* w, int bank) {
  if (bank >= 0 && bank < kMaxBanks) return bank;
  klog(LOG_ERR, "Bank %d does not exist, bank 0 loaded", bank);
  if (w->NumBanco == bank) w->NumBanco = 0;
  return 0;
}
}  // namespace

void LoadAllBankTable(Works* w, int bank) {
  {
    std::lock_guard lk(w->bankMut);
    w->ModeWorkIdx = loadBankLocked(w, existingBankLocked(w, bank));
  }
  SetModeWorkIDX(w);
}

void LoadAllBankTable(Works* w) {
  {
    std::lock_guard lk(w->bankMut);
    w->ModeWorkIdx = loadBankLocked(w, existingBankLocked(w, w->NumBanco));
  }
  SetModeWorkIDX(w);
}

void ChangeBanco(Works* w) {
  {
    // The new number and the new bank's memories change together: a tune stored meanwhile goes
    // either to the old bank with the old memories or to the new one with the new.
    std::lock_guard lk(w->bankMut);
    int next = w->NumBanco + 1;
    if (next >= w->MAXbank || next >= kMaxBanks || next < 0) next = 0;
    w->NumBanco = next;
    w->ModeWorkIdx = loadBankLocked(w, next);
    w->bandIdx = -1;
  }
  writeSetup(w);
  SetModeWorkIDX(w);
}

void ChangeInterfaceBanco(Works* w) {
  {
    std::lock_guard lk(w->bankMut);
    int m = w->ModeWorkIdx + 1;
    if (m > 2 || m < 0) m = 0;
    w->ModeWorkIdx = m;
    saveToBankLocked(w, w->NumBanco, w->antennaIdx);
  }
  SetModeWorkIDX(w);
}

void SetModeWorkIDX(Works* w) {
  Mirtsetup* s = w->setup;
  int m = w->ModeWorkIdx;
  if (s) {
    if (m == 1) {
      if (getFlag(s->EnableSerial) == '0') {
        setFlag(s->EnableSerial, '1');
        if (w->hooks.startThreadBIX) w->hooks.startThreadBIX(w);
      }
      if (getFlag(s->EnableCatSerial) == '1') setFlag(s->EnableCatSerial, '0');
    } else if (m == 2) {
      if (getFlag(s->EnableCatSerial) == '0') {
        setFlag(s->EnableCatSerial, '1');
        if (w->hooks.startThreadCATserial) w->hooks.startThreadCATserial(w);
      }
      if (getFlag(s->EnableSerial) == '1') {
        setFlag(s->EnableSerial, '0');
        DeleteErrore(w, kErrorBixData);
      }
    } else if (m == 0) {
      if (getFlag(s->EnableSerial) == '1') {
        setFlag(s->EnableSerial, '0');
        DeleteErrore(w, kErrorBixData);
      }
      if (getFlag(s->EnableCatSerial) == '1') setFlag(s->EnableCatSerial, '0');
    }
  }
  IncPNTIn_CMDLinear(LIN_GS_WRITE, w);
}

int DeleteFileConf(Works* w, int bank, int kind) {
  if (!BankUsable(w, bank)) {
    klog(LOG_ERR, "can't delete file bank %d: no such bank", bank);
    return -1;
  }
  if (kind < 0 || kind > 3) {
    klog(LOG_ERR, "can't delete file bank %d: no file kind %d", bank, kind);
    return -1;
  }
  std::string path = kind == 3 ? AntennaFileName(bank) : AtuFileName(bank, kind);
  int rc = optSetRemove(path);
  if (rc == -2) klog(LOG_ERR, "can't delete file bank %d", bank);
  return rc;
}

void DeleteBank(Works* w, int bank) {
  {
    std::lock_guard lk(w->bankMut);
    int maxBank = w->MAXbank;
    if (bank != maxBank && !BankUsable(w, bank)) {
      klog(LOG_ERR, "Delete bank %d: no such bank, nothing deleted", bank);
      return;
    }
    if (bank == maxBank) {
      for (int b = 0; b < maxBank && b < kMaxBanks; ++b)
        for (int k = 0; k < 4; ++k) DeleteFileConf(w, b, k);
    } else {
      for (int k = 0; k < 4; ++k) DeleteFileConf(w, bank, k);
    }
    w->ModeWorkIdx = loadBankLocked(w, w->NumBanco);
    w->bandIdx = -1;
  }
  SetModeWorkIDX(w);
}

void CopyBank(Works* w, int from, int to) {
  {
    std::lock_guard lk(w->bankMut);
    if (!BankUsable(w, from) || !BankUsable(w, to)) {
      klog(LOG_ERR, "Copy bank %d to bank %d: no such bank, nothing copied", from, to);
      return;
    }
    // The origin is read into scratch tables, so the active bank stays usable during the copy,
    // and its interface tag goes with it.
    std::vector<TuneMem> mem(kTuneMemSlots);
    for (int a = 0; a < kTuneMemAntennas; ++a) {
      std::string text;
      if (!readConfigFile(rootPath(AtuFileName(from, a)), text, "atu file")) text.clear();
      ParseAtuInto(text, mem.data());
      ktrace("SaveTabAtu Bank%i , antenna %i\n", to, a);
      optSetWriteFile(AtuFileName(to, a), AtuText(mem.data()));
    }
    BandRow rows[kBandRows]{};
    int n = kBandRows;
    int tag = 0;
    std::string text;
    if (readConfigFile(rootPath(AntennaFileName(from)), text, "antenna file"))
      tag = ParseBandRows(text, rows, n);
    else
      DefaultBandRows(rows, 0);
    std::string out = BandRowsText(rows, n, tag);
    optSetWriteFile(AntennaFileName(to), out);
    w->ModeWorkIdx = loadBankLocked(w, w->NumBanco);
  }
  SetModeWorkIDX(w);
}
