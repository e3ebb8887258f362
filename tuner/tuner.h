// Tuner and band memory: relay word, auto-tune, tune memories, band tables, selection chain.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "tuner/tables/tables.h"
#include "tuner/tuner_fields.h"

struct Works;

// ---- Relay word ------------------------------------------------------------------------------
inline constexpr uint32_t kTuneNetCL = 0x800000;     // bit 23
inline constexpr uint32_t kTuneNetLC = 0x40000;      // bit 18
inline constexpr uint32_t kTuneNetBypass = 0x10000;  // bit 16

void SetC(Works* works, int c);
void SetI(Works* works, int l);
void SetMode(Works* works, int m);
int DecodeCapacitaFromTuneval(uint32_t t);
int DecodeInduttanzaFromTuneval(uint32_t t);
int DecodeModoFromTuneval(uint32_t t);
void ReadTnePar(Works* works);
void WaitSemaforoTuneval(Works* works);
void StopSemaforoTuneval(Works* works);
// Caption of a network mode on the tuner key page ("ByP", "CL", " LC") and on the debug line.
const char* TuneModeCaption(int mode);
const char* ModeTuneDebug(int mode);

// The relay-word commands of the amplifier link (LIN_MT1, LIN_MT1_MEM, LIN_MT1_BYPASS, LIN_MT1_NEUTRAL).
// Composes the relay word for one of the four states under the tune-word lock and writes
// "MT1%08X;" into out. Returns the text length, or -1 for any other state.
int TunerCommandText(Works* works, int state, char* out, size_t size);
// The same, but the word is sent by `send` while the lock is still held.
int TunerCommand(Works* works, int state, void (*send)(Works*, const char* text, int len));

// Manual adjustments from the tuner pages; each queues the send-relay-word command.
void TuneManualC(Works* works, int delta);
void TuneManualL(Works* works, int delta);
void TuneManualMode(Works* works);
void TuneManualBypass(Works* works);

// Fills the link's hooks into the tuner: relay-word commands, auto-tune steps, start-up thresholds.
void InstallTunerHooks(Works* works);

// ---- Auto-tune -------------------------------------------------------------------------------
inline constexpr int SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
inline constexpr const char* SWRTimeout[5] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

// The phases of a run (tuneStep): coarse climbs stop at the first worse measurement, fine descents
// walk back a limited number of single steps.
enum TunePhase : int {
  kTunePhaseStart = 0,
  kTunePhaseReset = 1,          // CL, C = L = 0, history cleared
  kTunePhaseWaitTx = 2,         // until the transceiver transmits
  kTunePhaseClimbL = 3,         // CL: L up by 4
  kTunePhaseDescendL = 4,       // CL: L down by 1, at most 8 times
  kTunePhaseClimbC = 5,         // CL: C up by 8
  kTunePhaseDescendC = 6,       // CL: C down by 1, at most 16 times
  kTunePhaseStartLC = 7,        // LC, C from 8
  kTunePhaseClimbCLC = 8,       // LC: C up by 8
  kTunePhaseDescendCLC = 9,     // LC: C down by 1, at most 16 times
  kTunePhaseClimbLFine = 10,    // best so far, L up by 2
  kTunePhaseDescendLFine = 11,  // L down by 1, at most 6 times
  kTunePhaseConfirm = 12,       // one closing measurement of the best setting
};

void GoTune(Works* works);
void StartAutotune(Works* works);
// One search step; the link thread calls it after every status reply while tuneState is 1.
void TuneTask(Works* works);
// The measurement of a step; returns 1 when it ended the run on the target SWR.
int TuneStep(Works* works);
void CtrlNuovoTune(Works* works);
void TuneEnd(Works* works);
void EscAutoTune(Works* works, int save);
void Clr_vTuneParam(Works* works);
// The matching search (tuneSearch 1): its start (the first probe word) and one step after the
// measurement; the step returns 1 when the search is over and the best setting is to be confirmed.
void MatchSearchReset(Works* works);
int MatchSearchStep(Works* works);
// The operator's choice of search (tuneSearch), in /opt/set/tunesearch.txt: value texts for the
// menu and the information page, start-up reading (absent: the step climb; unreadable or garbage:
// the step climb and a log line, -1) and saving (optSetWriteFile's result).
const char* TuneSearchCaption(int search);
int LoadTuneSearch(Works* works);
int SaveTuneSearch(Works* works);
// The file's text to 0 or 1, -1 when it holds neither (open for the fuzzer).
int ParseTuneSearch(const std::string& text);

// ---- Tune memories ---------------------------------------------------------------------------
struct AtuSegment {
  long low = 0, high = 0;  // segment edges, Hz
  int first = 0, end = 0;  // first index and end index of the segment
};
inline constexpr int tabAtuStep[23][2] = {
    {0, 2000},         {1800000, 2000},   {2000000, 4000},   {3500000, 4000},   {4000000, 5000},   {5330000, 5000},
    {5400000, 5000},   {7000000, 5000},   {7300000, 5000},   {10100000, 10000}, {10150000, 10000}, {14000000, 10000},
    {14350000, 10000}, {18000000, 10000}, {18170000, 10000}, {21000000, 20000}, {21500000, 25000}, {24850000, 25000},
    {25000000, 25000}, {28000000, 25000}, {29700000, 50000}, {50000000, 50000}, {54000000, -1}};

int AtuIdxSearch(uint64_t f, AtuSegment* seg);
long AtuFreqfromIdx(int idx);
void SaveTuneValsuTabRam(Works* works, const TuneMem& entry, int idx, int ant);
TuneMem LoadTuneValFromTabRam(Works* works, int idx, int ant);
int SearchBestTune(Works* works, int idx, int first, int end, int ant);
int EsisteTuneValInTabRam(Works* works, int idx, int first, int end, int ant);
void LoadTabAtu(Works* works, int bank, int ant);
int SaveTabAtu(Works* works, int bank, int ant);
void LoadTuneFromMEM(Works* works, int ant);
void InsertTuneToMem(Works* works, int bank, int ant);
// The same for the active bank, whose number is read under the bank lock (the end of an auto-tune).
void InsertTuneToActiveBank(Works* works, int ant);
// Save-tune screen: stores the current tune into the file of (bank, ant); the active bank's
// memories in RAM only change when that bank is the active one.
// Returns 0 when stored, 1 when the tuner is bypassed ("ATU ByPass not saved!"), -1 when there is
// no such bank or antenna (logged).
int SaveTuneToBank(Works* works, int bank, int ant);
// Parses a tune-memory file's text into memory `ant` (the loader's parser, open for the fuzzer).
void ParseTabAtu(Works* works, const std::string& text, int ant);
// The same file format on a bare table of kTuneMemSlots entries (bank copies use scratch tables).
void ParseAtuInto(const std::string& text, TuneMem* mem);
std::string AtuText(const TuneMem* mem);
std::string TabAtuText(Works* works, int ant);

// ---- Band configuration, banks, antennas, filters ------------------------------------------
std::string AtuFileName(int bank, int ant);

void SaveToBank(Works* works, int bank, int antenna);
void LoadAllBankTable(Works* works, int bank);
void LoadAllBankTable(Works* works);  // the active bank (NumBanco), as start-up loads it
void ChangeBanco(Works* works);
void ChangeInterfaceBanco(Works* works);
void SetModeWorkIDX(Works* works);
int DeleteFileConf(Works* works, int bank, int kind);
// Memory screens: delete a bank (MAXbank = all banks) and copy one bank onto another.
void DeleteBank(Works* works, int bank);
void CopyBank(Works* works, int from, int to);

// ---- Frequency-driven selection --------------------------------------------------------------
void SetFilterFromfreq(Works* works);
void SearchCambioSoglie_TS(Works* works);
void GestioneAntennaAutomatica(Works* works);
void GestioneLoadTuneVal(Works* works, int mode);
// The frequency tick of the supervisor pass: takes the frequency from the interface in use and,
// when it changed (or a reload asked for it), runs the selection chain. Returns 1 when it ran.
int FrequencyChangeChain(Works* works);
// The chain itself for the current freq (frequency to the micro, filter, thresholds, band).
void RunSelectionChain(Works* works);
