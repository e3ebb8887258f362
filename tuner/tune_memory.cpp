// Tune memories: the frequency-slot index rule, the three per-antenna tables of the active bank and their files.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/works.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "tuner/lines.h"
#include "tuner/tuner.h"

using namespace tuner_detail;

namespace {
constexpr int kSegments = 22;  // the 23rd entry only closes the last segment

int slotsOf(int s) { return (tabAtuStep[s + 1][0] - tabAtuStep[s][0]) / tabAtuStep[s][1]; }

bool antOk(int ant) { return ant >= 0 && ant < kTuneMemAntennas; }

// Clamps a segment range to the memory so a scan never leaves the table.
void clampRange(int& first, int& end) {
  if (first < 0) first = 0;
  if (end > kTuneMemSlots) end = kTuneMemSlots;
}

TuneMem slotLocked(Works* w, int idx, int ant) {
  if (idx < 0 || idx >= kTuneMemSlots || !antOk(ant)) return TuneMem{};
  TuneMem e = w->tabTune[ant][idx];
  if (e.mode == 3) e.mode = 1;  // a bypass stored by mistake is applied as CL
  return e;
}

int searchBestLocked(Works* w, int idx, int first, int end, int ant) {
  if (!antOk(ant)) return -1;
  int best = -1;
  long bestDist = static_cast<long>(end) - first;
  clampRange(first, end);
  for (int j = first; j < end; ++j) {
    if (!w->tabTune[ant][j].valid) continue;
    long d = std::labs(static_cast<long>(j) - idx);
    if (d < bestDist) {
      bestDist = d;
      best = j;
    }
  }
  return best;
}
}  // namespace

int AtuIdxSearch(uint64_t f, AtuSegment* seg) {
  int s = 0;
  int first = 0;
  while (true) {
    bool inside = static_cast<uint64_t>(tabAtuStep[s][0]) <= f && f < static_cast<uint64_t>(tabAtuStep[s + 1][0]);
    if (inside || tabAtuStep[s + 1][1] == -1) break;
    first += slotsOf(s);
    ++s;
  }
  const uint64_t low = static_cast<uint64_t>(tabAtuStep[s][0]);
  const uint64_t high = static_cast<uint64_t>(tabAtuStep[s + 1][0]);
  const uint64_t width = static_cast<uint64_t>(tabAtuStep[s][1]);
  if (seg) {
    seg->low = static_cast<long>(low);
    seg->high = static_cast<long>(high);
    seg->first = first;
    seg->end = first + slotsOf(s);
  }
  // f is below low only if the table did not start at 0; it always does.
  uint64_t off = (f >= low ? f - low : 0);
  uint64_t idx = static_cast<uint64_t>(first) + (off + width / 2) / width;
  if (f > high) ++idx;
  // Absurd frequencies (a garbled CAT reply) give an index far past every memory, never a wrap.
  if (idx > 100000000u) idx = 100000000u;
  return static_cast<int>(idx);
}

long AtuFreqfromIdx(int idx) {
  int first = 0;
  for (int s = 0; s < kSegments; ++s) {
    int end = first + slotsOf(s);
    if (idx <= end || s == kSegments - 1) {
      // Indices past 4649 continue the 6 m slot width.
      return static_cast<long>(tabAtuStep[s][0]) + static_cast<long>(idx - first) * tabAtuStep[s][1];
    }
    first = end;
  }
  return 0;
}

void SaveTuneValsuTabRam(Works* w, const TuneMem& entry, int idx, int ant) {
  if (idx < 0 || idx >= kTuneMemSlots || !antOk(ant)) return;
  std::unique_lock lk(w->tabTuneMut);
  w->tabTune[ant][idx] = entry;
}

TuneMem LoadTuneValFromTabRam(Works* w, int idx, int ant) {
  std::shared_lock lk(w->tabTuneMut);
  return slotLocked(w, idx, ant);
}

int SearchBestTune(Works* w, int idx, int first, int end, int ant) {
  std::shared_lock lk(w->tabTuneMut);
  return searchBestLocked(w, idx, first, end, ant);
}

int EsisteTuneValInTabRam(Works* w, int idx, int first, int end, int ant) {
  std::shared_lock lk(w->tabTuneMut);
  if (slotLocked(w, idx, ant).valid) return 0;
  if (!antOk(ant)) return 1;
  // Any valid slot of the segment counts, however far from idx: the nearest-slot search is
  // bounded by the segment width and misses the far edge when idx rounds up past the segment.
  clampRange(first, end);
  for (int j = first; j < end; ++j)
    if (w->tabTune[ant][j].valid) return 0;
  return 1;
}

std::string AtuFileName(int bank, int ant) {
  char name[64];
  if (bank >= 1 && bank <= 19)
    snprintf(name, sizeof name, "/opt/set/atu_ant%d_b%d.txt", ant + 1, bank);
  else
    snprintf(name, sizeof name, "/opt/set/atu_ant%d.txt", ant + 1);
  return name;
}

void ParseAtuInto(const std::string& text, TuneMem* mem) {
  for (int i = 0; i < kTuneMemSlots; ++i) mem[i] = TuneMem{};
  LineComplaints complaints("atu file");
  forEachConfigLine(text, 512, complaints, [&](char* line, int lineNo) {
    if (line[0] == ';' || isBlankLine(line)) return;
    const char* p = line;
    long idx = 0, freq = 0, valid = 0, mode = 0, l = 0, c = 0;
    if (nextLong(p, idx, 0, kTuneMemSlots - 1) != Field::Ok) {
      ktrace("LoadTabAtu Errore idx\n");
      complaints.refuse(lineNo, "no slot number 0..%d", kTuneMemSlots - 1);
      return;
    }
    // The frequency column is only for the reader's eye. A slot the relays could not take is
    // dropped rather than sent to the micro garbled.
    if (nextLong(p, freq, 0, LONG_MAX) == Field::Bad || nextLong(p, valid, 0, 1) == Field::Bad ||
        nextLong(p, mode, 0, 3) == Field::Bad || nextLong(p, l, 0, 511) == Field::Bad ||
        nextLong(p, c, 0, 511) == Field::Bad || moreFields(p)) {
      complaints.refuse(lineNo, "slot %ld: values out of range or no numbers, skipped", idx);
      return;
    }
    mem[idx] = TuneMem{static_cast<uint8_t>(valid), static_cast<uint8_t>(mode), static_cast<uint16_t>(l),
                       static_cast<uint16_t>(c)};
  });
  complaints.summary();
}

std::string AtuText(const TuneMem* mem) {
  std::string out;
  char line[96];
  for (int i = 0; i < kTuneMemSlots; ++i) {
    const TuneMem& e = mem[i];
    if (!e.valid) continue;
    snprintf(line, sizeof line, "%i %ld %i %i %i %i\n", i, AtuFreqfromIdx(i), e.valid, e.mode, e.L, e.C);
    out += line;
  }
  return out;
}

void ParseTabAtu(Works* w, const std::string& text, int ant) {
  if (!antOk(ant)) return;
  std::unique_lock lk(w->tabTuneMut);
  ParseAtuInto(text, w->tabTune[ant]);
}

void LoadTabAtu(Works* w, int bank, int ant) {
  if (!antOk(ant)) return;
  std::string text;
  if (!readConfigFile(rootPath(AtuFileName(bank, ant)), text, "atu file")) text.clear();
  ParseTabAtu(w, text, ant);
}

std::string TabAtuText(Works* w, int ant) {
  if (!antOk(ant)) return {};
  std::shared_lock lk(w->tabTuneMut);
  return AtuText(w->tabTune[ant]);
}

int SaveTabAtu(Works* w, int bank, int ant) {
  ktrace("SaveTabAtu Bank%i , antenna %i\n", bank, ant);
  if (!antOk(ant)) return -2;
  // Remount and write failures are logged by the writer; the old file stays whole.
  int rc = optSetWriteFile(AtuFileName(bank, ant), TabAtuText(w, ant));
  if (rc == -1) ktrace("can't mount rw /opt/set/ error %d\n", errno);
  return rc;
}

void LoadTuneFromMEM(Works* w, int ant) {
  AtuSegment seg;
  int idx = AtuIdxSearch(w->freq, &seg);
  TuneMem e;
  {
    std::shared_lock lk(w->tabTuneMut);
    e = slotLocked(w, idx, ant);
    if (!e.valid) {
      int j = searchBestLocked(w, idx, seg.first, seg.end, ant);
      if (j >= 0) {
        e = slotLocked(w, j, ant);
        idx = j;
      }
    }
  }
  uint32_t t = w->tuneWord;
  int curC = DecodeCapacitaFromTuneval(t), curL = DecodeInduttanzaFromTuneval(t), curM = DecodeModoFromTuneval(t);
  w->tuneC = curC;
  w->tuneL = curL;
  w->tuneMode = static_cast<uint8_t>(curM);
  if (!e.valid) return;
  if (e.C == curC && e.L == curL && e.mode == curM) return;
  SetC(w, e.C);
  SetI(w, e.L);
  SetMode(w, e.mode);
  ReadTnePar(w);
  ktrace(">>>>>>>>>>>>>>> MEMTUNE: load a Tune for %ld idx:%d -> C %d I %d!!\n", static_cast<long>(w->freq.load()), idx,
         w->tuneC.load(), w->tuneL.load());
}

namespace {
TuneMem currentTune(Works* w, int idx) {
  ktrace("--------------> Save Tune To File idx %d (idx:%d)\n", static_cast<int>(w->freq.load()), idx);
  uint32_t t = w->tuneWord;
  TuneMem e{1, static_cast<uint8_t>(DecodeModoFromTuneval(t)), static_cast<uint16_t>(DecodeInduttanzaFromTuneval(t)),
            static_cast<uint16_t>(DecodeCapacitaFromTuneval(t))};
  ktrace("-------------- Save TuneVal C:%i, L:%i, M:%c\n", e.C, e.L, '0' + e.mode);
  return e;
}

// The caller holds bankMut: the memory in RAM and the file written from it stay one bank's.
void insertLocked(Works* w, int bank, int ant) {
  int idx = AtuIdxSearch(w->freq, nullptr);
  SaveTuneValsuTabRam(w, currentTune(w, idx), idx, ant);
  if (!antOk(ant)) return;
  // The file is written beside the link, which must not wait on the remount: its name and text
  // are taken now, under the bank lock, so a later bank change cannot redirect or alter it.
  std::string path = AtuFileName(bank, ant), text = TabAtuText(w, ant);
  ktrace("SaveTabAtu Bank%i , antenna %i\n", bank, ant);
  RunFileWrite(w->fileWriter, [path = std::move(path), text = std::move(text)] { optSetWriteFile(path, text); });
}
}  // namespace

void InsertTuneToMem(Works* w, int bank, int ant) {
  std::lock_guard lk(w->bankMut);
  if (!BankUsable(w, bank)) {
    klog(LOG_ERR, "Save tune: no bank %d, nothing stored", bank);
    return;
  }
  insertLocked(w, bank, ant);
}

void InsertTuneToActiveBank(Works* w, int ant) {
  std::lock_guard lk(w->bankMut);
  const int bank = w->NumBanco;
  if (!BankUsable(w, bank)) {
    klog(LOG_ERR, "Save tune: no bank %d, nothing stored", bank);
    return;
  }
  insertLocked(w, bank, ant);
}

int SaveTuneToBank(Works* w, int bank, int ant) {
  if (DecodeModoFromTuneval(w->tuneWord) == 3) return 1;
  if (!antOk(ant)) {
    klog(LOG_ERR, "Save tune: no antenna %d, nothing stored", ant + 1);
    return -1;
  }
  // The target bank is read into a scratch table: the active bank's memories stay in RAM, so an
  // auto-tune ending meanwhile stores into the bank it belongs to.
  std::vector<TuneMem> mem(kTuneMemSlots);
  int idx = AtuIdxSearch(w->freq, nullptr);
  TuneMem e = currentTune(w, idx);
  std::lock_guard lk(w->bankMut);
  if (!BankUsable(w, bank)) {
    klog(LOG_ERR, "Save tune: no bank %d, nothing stored", bank);
    return -1;
  }
  std::string text;
  if (!readConfigFile(rootPath(AtuFileName(bank, ant)), text, "atu file")) text.clear();
  ParseAtuInto(text, mem.data());
  if (idx >= 0 && idx < kTuneMemSlots) mem[idx] = e;
  ktrace("SaveTabAtu Bank%i , antenna %i\n", bank, ant);
  if (optSetWriteFile(AtuFileName(bank, ant), AtuText(mem.data())) == -1)
    ktrace("can't mount rw /opt/set/ error %d\n", errno);
  if (bank == w->NumBanco) {
    // The active bank in RAM follows its file.
    std::unique_lock tl(w->tabTuneMut);
    std::copy(mem.begin(), mem.end(), w->tabTune[ant]);
  }
  return 0;
}
