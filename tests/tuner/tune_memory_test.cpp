// Tune memories: the slot index rule, the nearest-slot search inside a segment, applying and storing, the files.
#include "tests/tuner/tuner_test_util.h"

#include "core/works.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

namespace {
TuneMem entry(int mode, int l, int c) {
  return TuneMem{1, static_cast<uint8_t>(mode), static_cast<uint16_t>(l), static_cast<uint16_t>(c)};
}
}  // namespace

TEST(AtuIndex, FrequenciesMapToSlots) {
  EXPECT_EQ(AtuIdxSearch(14200000, nullptr), 3130);
  EXPECT_EQ(AtuIdxSearch(14204999, nullptr), 3130);
  EXPECT_EQ(AtuIdxSearch(14205000, nullptr), 3131);
  EXPECT_EQ(AtuIdxSearch(0, nullptr), 0);
  EXPECT_EQ(AtuIdxSearch(1000, nullptr), 1);
  EXPECT_EQ(AtuIdxSearch(53999999, nullptr), 4649);
  EXPECT_EQ(AtuIdxSearch(54000001, nullptr), 4650);
  // Rounding up at a segment's top gives the next segment's first slot.
  AtuSegment seg;
  EXPECT_EQ(AtuIdxSearch(1799999, &seg), 900);
  EXPECT_EQ(seg.first, 0);
  EXPECT_EQ(seg.end, 900);
  // A garbled frequency gives an index past every memory, not a negative one.
  EXPECT_GE(AtuIdxSearch(UINT64_MAX, nullptr), kTuneMemSlots);
}

TEST(AtuIndex, SegmentsStartWhereTheirPredecessorsEnd) {
  const int firsts[22] = {0,    900,  1000, 1375, 1500, 1766, 1780, 2100, 2160, 2720, 2725,
                          3110, 3145, 3510, 3527, 3810, 3835, 3969, 3975, 4095, 4163, 4569};
  for (int s = 0; s < 22; ++s) {
    AtuSegment seg;
    int idx = AtuIdxSearch(static_cast<uint64_t>(tabAtuStep[s][0]), &seg);
    EXPECT_EQ(idx, firsts[s]) << "segment " << s;
    EXPECT_EQ(seg.first, firsts[s]) << "segment " << s;
    EXPECT_EQ(seg.low, tabAtuStep[s][0]);
    EXPECT_EQ(seg.high, tabAtuStep[s + 1][0]);
    EXPECT_EQ(seg.end, s < 21 ? firsts[s + 1] : 4649);
  }
}

TEST(AtuIndex, SlotsMapBackToFrequencies) {
  EXPECT_EQ(AtuFreqfromIdx(900), 1800000);
  EXPECT_EQ(AtuFreqfromIdx(1413), 3652000);
  EXPECT_EQ(AtuFreqfromIdx(3130), 14200000);
  EXPECT_EQ(AtuFreqfromIdx(4649), 54000000);
  EXPECT_EQ(AtuFreqfromIdx(4650), 54050000);
  for (int i = 0; i < 4650; ++i) ASSERT_EQ(AtuIdxSearch(static_cast<uint64_t>(AtuFreqfromIdx(i)), nullptr), i) << i;
}

using TuneMemory = Fixture;

TEST_F(TuneMemory, NearestSlotPrefersTheLowerOnATieAndNeverLeavesTheSegment) {
  SaveTuneValsuTabRam(w, entry(1, 10, 20), 3112, 0);
  SaveTuneValsuTabRam(w, entry(1, 11, 21), 3116, 0);
  EXPECT_EQ(SearchBestTune(w, 3114, 3110, 3145, 0), 3112);
  EXPECT_EQ(SearchBestTune(w, 3115, 3110, 3145, 0), 3116);
  EXPECT_EQ(SearchBestTune(w, 3114, 3110, 3145, 1), -1);

  SaveTuneValsuTabRam(w, TuneMem{}, 3116, 0);
  for (uint64_t f : {14000000ull, 14200000ull, 14349999ull}) {
    AtuSegment seg;
    int idx = AtuIdxSearch(f, &seg);
    EXPECT_EQ(EsisteTuneValInTabRam(w, idx, seg.first, seg.end, 0), 0) << f;
  }
  // 17 m side of the gap: the 20 m tune is not offered.
  for (uint64_t f : {14350000ull, 18100000ull}) {
    AtuSegment seg;
    int idx = AtuIdxSearch(f, &seg);
    EXPECT_EQ(EsisteTuneValInTabRam(w, idx, seg.first, seg.end, 0), 1) << f;
  }
}

TEST_F(TuneMemory, OutOfRangeSlotsAreIgnored) {
  SaveTuneValsuTabRam(w, entry(1, 1, 1), 5000, 0);
  SaveTuneValsuTabRam(w, entry(1, 1, 1), 10, 3);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 5000, 0).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 10, 3).valid, 0);
  EXPECT_EQ(SearchBestTune(w, 4990, 4900, 6000, 0), -1);
}

TEST_F(TuneMemory, StoredBypassIsAppliedAsCL) {
  w->freq = 14200000;
  SaveTuneValsuTabRam(w, entry(3, 40, 70), 3130, 1);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 1).mode, 1);
  w->tuneWord = kTuneNetLC;
  LoadTuneFromMEM(w, 1);
  EXPECT_EQ(DecodeModoFromTuneval(w->tuneWord), 1);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord), 40);
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneWord), 70);
  EXPECT_EQ(w->atuBypass.load(), 0);
}

TEST_F(TuneMemory, ApplyingUsesTheNearestSlotAndIsSilentWhenNothingChanges) {
  w->freq = 14200000;  // slot 3130
  SaveTuneValsuTabRam(w, entry(2, 33, 44), 3127, 0);
  {
    StderrCapture err;
    LoadTuneFromMEM(w, 0);
    EXPECT_NE(err.take().find("MEMTUNE: load a Tune for 14200000 idx:3127 -> C 44 I 33!!"), std::string::npos);
  }
  uint32_t before = w->tuneWord;
  StderrCapture err;
  LoadTuneFromMEM(w, 0);
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(w->tuneWord.load(), before);
  // Nothing stored for the antenna: the word stays as it is.
  w->tuneWord = kTuneNetBypass | 0x2;
  LoadTuneFromMEM(w, 2);
  EXPECT_EQ(w->tuneWord.load(), kTuneNetBypass | 0x2);
}

TEST_F(TuneMemory, FileNamesFollowBankAndAntenna) {
  EXPECT_EQ(AtuFileName(0, 0), "/opt/set/atu_ant1.txt");
  EXPECT_EQ(AtuFileName(1, 2), "/opt/set/atu_ant3_b1.txt");
  EXPECT_EQ(AtuFileName(19, 1), "/opt/set/atu_ant2_b19.txt");
  EXPECT_EQ(AtuFileName(20, 0), "/opt/set/atu_ant1.txt");
  EXPECT_EQ(AtuFileName(-3, 0), "/opt/set/atu_ant1.txt");
}

TEST_F(TuneMemory, InsertStoresTheCurrentTuneAndRewritesTheFile) {
  w->freq = 14200000;
  SaveTuneValsuTabRam(w, entry(1, 1, 2), 3510, 2);
  w->tuneWord = 0;
  SetMode(w, 2);
  SetC(w, 200);
  SetI(w, 100);
  StderrCapture err;
  InsertTuneToMem(w, 19, 2);
  std::string trace = err.take();
  EXPECT_NE(trace.find("--------------> Save Tune To File idx 14200000 (idx:3130)"), std::string::npos);
  EXPECT_NE(trace.find("-------------- Save TuneVal C:200, L:100, M:2"), std::string::npos);
  EXPECT_NE(trace.find("SaveTabAtu Bank19 , antenna 2"), std::string::npos);
  EXPECT_EQ(root.read("/opt/set/atu_ant3_b19.txt"), "3130 14200000 1 2 100 200\n3510 18000000 1 1 1 2\n");
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 2).C, 200);
}

TEST_F(TuneMemory, FileReaderSkipsBadLinesAndKeepsEveryGoodOne) {
  std::string text = "; comment\r\n";
  for (int i = 0; i < 20; ++i) text += std::to_string(3110 + i) + " 0 1 1 " + std::to_string(i) + " 7\r\n";
  text += "5000 54000000 1 1 1 1\n";      // past the memory
  text += "-1 0 1 1 1 1\n";               // negative
  text += "hello world\n";                // no index at all
  text += "3000 0 1 9 1 1\n";             // no such network
  text += "3001 0 1 1 600 1\n";           // no such inductor step
  text += std::string(2000, '7') + "\n";  // one long line, refused
  text += "\n   \n";
  text += "4000 0 1 2 3";  // last line without newline, short a field
  root.write("/opt/set/atu_ant2_b1.txt", text);
  SaveTuneValsuTabRam(w, entry(1, 5, 5), 100, 1);  // cleared by the load
  StderrCapture err;
  LoadTabAtu(w, 1, 1);
  std::string trace = err.take();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(LoadTuneValFromTabRam(w, 3110 + i, 1).L, i);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 100, 1).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3000, 1).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3001, 1).valid, 0);
  TuneMem last = LoadTuneValFromTabRam(w, 4000, 1);
  EXPECT_EQ(last.valid, 1);
  EXPECT_EQ(last.L, 3);
  EXPECT_EQ(last.C, 0);
  size_t n = 0;
  for (size_t p = 0; (p = trace.find("LoadTabAtu Errore idx\n", p)) != std::string::npos; ++p) ++n;
  EXPECT_EQ(n, 3u);  // 5000, -1, "hello"; the over-long line is no row at all
}

TEST_F(TuneMemory, MissingFileGivesAnEmptyMemory) {
  SaveTuneValsuTabRam(w, entry(1, 5, 5), 100, 0);
  LoadTabAtu(w, 7, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 100, 0).valid, 0);
}

TEST_F(TuneMemory, AnyValidSlotOfTheSegmentCounts) {
  // 1799999 Hz rounds up to slot 900 but its segment is 0..899: slot 0 lies 900 slots away.
  AtuSegment seg;
  int idx = AtuIdxSearch(1799999, &seg);
  ASSERT_EQ(idx, 900);
  EXPECT_EQ(EsisteTuneValInTabRam(w, idx, seg.first, seg.end, 0), 1);
  SaveTuneValsuTabRam(w, entry(1, 3, 4), 0, 0);
  EXPECT_EQ(EsisteTuneValInTabRam(w, idx, seg.first, seg.end, 0), 0);
  EXPECT_EQ(EsisteTuneValInTabRam(w, idx, seg.first, seg.end, 1), 1);  // another antenna's memory
  // A slot of the next segment does not count, nor does the end index itself unless it is idx.
  SaveTuneValsuTabRam(w, entry(1, 3, 4), 1000, 1);
  EXPECT_EQ(EsisteTuneValInTabRam(w, 950, 900, 1000, 1), 1);
  EXPECT_EQ(EsisteTuneValInTabRam(w, 999, 900, 1000, 1), 1);
  EXPECT_EQ(EsisteTuneValInTabRam(w, 1000, 900, 1000, 1), 0);
  EXPECT_EQ(EsisteTuneValInTabRam(w, 950, 900, 1000, 3), 1);
}
